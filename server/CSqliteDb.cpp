#include "server/CSqliteDb.h"

#include <sqlite3.h>

namespace {

[[noreturn]] void Fail(sqlite3* db, const char* step)
{
    throw XCentralStoreError(std::string(step) + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

} // namespace

CSqliteStatement::CSqliteStatement(sqlite3* db, const char* sql) : m_db(db)
{
    if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK)
        Fail(db, "prepare");
}

CSqliteStatement::~CSqliteStatement()
{
    sqlite3_finalize(m_statement);
}

CSqliteStatement& CSqliteStatement::Bind(int index, int64_t value)
{
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

CSqliteStatement& CSqliteStatement::Bind(int index, const CZelString& bytes)
{
    // A zero-length blob is stored as an empty blob, not as NULL.
    if (sqlite3_bind_blob(m_statement, index, bytes.Ptr(), bytes.Length(), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

CSqliteStatement& CSqliteStatement::Bind(int index, const char* text)
{
    if (sqlite3_bind_text(m_statement, index, text, -1, SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

CSqliteStatement& CSqliteStatement::BindText(int index, const CZelString& text)
{
    if (sqlite3_bind_text(m_statement, index, text.Ptr(), text.Length(), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

CSqliteStatement& CSqliteStatement::BindNull(int index)
{
    if (sqlite3_bind_null(m_statement, index) != SQLITE_OK)
        Fail(m_db, "bind");
    return *this;
}

bool CSqliteStatement::Step()
{
    const int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    Fail(m_db, "step");
}

void CSqliteStatement::Run()
{
    while (Step()) {
    }
}

int64_t CSqliteStatement::Int(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

CZelString CSqliteStatement::Bytes(int column) const
{
    const void* data = sqlite3_column_blob(m_statement, column);
    const int length = sqlite3_column_bytes(m_statement, column);
    if (!data || length <= 0)
        return CZelString();
    return CZelString(static_cast<const char*>(data), length);
}

bool CSqliteStatement::IsNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

CSqliteDb::CSqliteDb(const std::string& path)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw XCentralStoreError("open " + path + ": " + message);
    }
    // Another process (the offline admin command) may hold the write lock for a moment.
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

int64_t CSqliteDb::LastInsertId() const
{
    return sqlite3_last_insert_rowid(m_db);
}

int CSqliteDb::Changes() const
{
    return sqlite3_changes(m_db);
}

int CSqliteStatement::ColumnCount() const
{
    return sqlite3_column_count(m_statement);
}
