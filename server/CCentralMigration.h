#pragma once
// Moving a deployment from its SQLite file to a PostgreSQL database, so that it can grow to
// several instances. The file is read inside one read transaction (a server still running on
// it keeps serving, and the copy is the state of one moment); the database must be new and is
// written in one transaction, so it ends up holding the whole deployment or nothing of it.
// Rows travel one at a time: a table of upload blocks may be far larger than memory.
// Afterwards the database's id sequences and clock stand past everything copied, so the ids
// and time stamps handed out from then on keep rising where the file's left off.

#include "server/CStoreDb.h"

#include <cstdint>
#include <string>
#include <vector>

// The migration would mix two deployments or has nothing to read; nothing was written.
class XCentralMigrationRefused : public XCentralStoreError {
public:
    using XCentralStoreError::XCentralStoreError;
};

struct CCentralMigratedTable {
    std::string name;
    int64_t rows = 0;
    int64_t bytes = 0;      // of the text and byte values copied
};

// Copies the deployment in the SQLite file `sqliteFile` (brought to the current version
// first) into the PostgreSQL database `postgresUri`, which must hold no deployment yet.
// The tables copied, in order. Throws XCentralMigrationRefused when the file is missing or the
// database already holds data, XCentralStoreError when either cannot be used.
std::vector<CCentralMigratedTable> MigrateCentralStore(const std::string& sqliteFile, const std::string& postgresUri);
