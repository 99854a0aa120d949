#include "server/CSqliteDb.h"

#include <sqlite3.h>

namespace {

[[noreturn]] void Fail(sqlite3* db, const char* step)
{
    throw XCentralStoreError(std::string(step) + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

class CSqliteStatement : public IStoreStatement {
public:
    CSqliteStatement(sqlite3* db, const char* sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK)
            Fail(db, "prepare");
    }
    ~CSqliteStatement() override { sqlite3_finalize(m_statement); }
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    void BindInt(int index, int64_t value) override { Check(sqlite3_bind_int64(m_statement, index, value)); }
    void BindBytes(int index, const CZelString& bytes) override
    {
        // A zero-length blob is stored as an empty blob, not as NULL.
        Check(sqlite3_bind_blob(m_statement, index, bytes.Ptr(), bytes.Length(), SQLITE_TRANSIENT));
    }
    void BindText(int index, std::string_view text) override
    {
        Check(sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    void BindNull(int index) override { Check(sqlite3_bind_null(m_statement, index)); }

    bool Step() override
    {
        const int rc = sqlite3_step(m_statement);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        Fail(m_db, "step");
    }

    int64_t Int(int column) const override { return sqlite3_column_int64(m_statement, column); }
    CZelString Bytes(int column) const override
    {
        const void* data = sqlite3_column_blob(m_statement, column);
        const int length = sqlite3_column_bytes(m_statement, column);
        if (!data || length <= 0)
            return CZelString();
        return CZelString(static_cast<const char*>(data), length);
    }
    CStoreValueKind Kind(int column) const override
    {
        switch (sqlite3_column_type(m_statement, column)) {
        case SQLITE_NULL: return CStoreValueKind::Null;
        case SQLITE_INTEGER: return CStoreValueKind::Integer;
        case SQLITE_BLOB: return CStoreValueKind::Bytes;
        default: return CStoreValueKind::Text;
        }
    }
    int ColumnCount() const override { return sqlite3_column_count(m_statement); }

private:
    void Check(int rc) const
    {
        if (rc != SQLITE_OK)
            Fail(m_db, "bind");
    }

    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

} // namespace

CSqliteDb::CSqliteDb(const std::string& path)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw XCentralStoreError("open " + path + ": " + message);
    }
    // Another process (the offline admin command, a migration reading it) may hold the write
    // lock for a moment.
    sqlite3_busy_timeout(m_db, 5000);
}

CSqliteDb::~CSqliteDb()
{
    sqlite3_close(m_db);
}

void CSqliteDb::Exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        throw XCentralStoreError(std::string("exec: ") + message);
    }
}

CStoreStatement CSqliteDb::Prepare(const char* sql)
{
    return CStoreStatement(std::make_unique<CSqliteStatement>(m_db, sql));
}

int64_t CSqliteDb::Changes() const
{
    return sqlite3_changes(m_db);
}

void CSqliteDb::Rollback()
{
    try {
        Exec("ROLLBACK");
    } catch (const XCentralStoreError&) {
        // SQLite already rolled back on its own (a failed COMMIT, a full disk).
    }
}
