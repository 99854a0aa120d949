#pragma once
// CPostgresDb: one libpq connection to the PostgreSQL database that several central server
// instances share. Statements are prepared once per connection and SQL text; parameters go
// binary with their types named (64-bit integers, bytea, text) and so do results, so bytes
// travel as they are. Transactions are SERIALIZABLE: one that loses a race with another
// instance's fails with XCentralStoreConflict and is run again by the store.

#include "server/CStoreDb.h"

#include <map>
#include <string>

struct pg_conn;

class CPostgresDb : public CStoreDb {
public:
    // Connects with a libpq connection string or URI; throws XCentralStoreError with libpq's
    // reason when it cannot.
    explicit CPostgresDb(const std::string& connection);
    ~CPostgresDb() override;
    CPostgresDb(const CPostgresDb&) = delete;
    CPostgresDb& operator=(const CPostgresDb&) = delete;

    // Whether `location` names a PostgreSQL database rather than an SQLite file.
    static bool IsLocation(const std::string& location);

    CStoreEngine Engine() const override { return CStoreEngine::Postgres; }
    void Exec(const char* sql) override;
    CStoreStatement Prepare(const char* sql) override;
    int64_t Changes() const override { return m_changes; }
    void Begin() override;
    void Commit() override;
    void Rollback() override;
    bool CanHoldText(const CZelString& text) const override;

    // False once the server went away; the connection is then of no further use.
    bool IsUsable() const;

    // For the statements: the name of the server-side statement for this text and parameter
    // types, prepared on first use; and the change count of the statement just run.
    const std::string& PreparedName(const std::string& sql, int count, const unsigned* types);
    void SetChanges(int64_t changes) { m_changes = changes; }
    pg_conn* Connection() const { return m_connection; }

private:
    pg_conn* m_connection = nullptr;
    std::map<std::string, std::string> m_prepared;   // text and types -> statement name
    int64_t m_changes = 0;
    bool m_utf8 = true;
};
