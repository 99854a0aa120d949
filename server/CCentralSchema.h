#pragma once
// The central store's tables, as one migration step per schema version and engine. The steps of
// both engines bring the tables to the same shape at each version (SQLite's BLOB is
// PostgreSQL's BYTEA, an address unique without regard to case is a unique index on lower()),
// so a version number means the same in either, and a migration from one to the other copies
// table by table.
//
//   1  server_key, accounts, session_keys, seeds, lists, updates, messages, message_recipients
//   2  session_key_ring: the recent keys of each (account, key number) instead of the last one
//   3  message_uploads, message_upload_blocks, message_copies, account_addresses,
//      code_failures, code_blocks, login_blocks, sealed_vectors; PostgreSQL also gets the
//      shared clock (store_clock, unique_stamps, velmo_unique_stamp) several instances need

#include "server/CStoreDb.h"

namespace central_schema {

inline constexpr int kVersion = 3;

// The version the database is at; 0 when it is new.
int StoredVersion(CStoreDb& db);
// Brings the database to kVersion, one transaction per step. Throws XCentralStoreError when
// it is of a newer version than this program knows.
void Migrate(CStoreDb& db);
// Records the addresses the accounts hold now as theirs for good (idempotent).
void RecordHeldAddresses(CStoreDb& db);

// The tables a migration between engines copies, parents before children.
struct Table {
    const char* name;
    const char* columns;        // comma-separated, as in the tables of kVersion
};
const Table* Tables(int& count);

} // namespace central_schema
