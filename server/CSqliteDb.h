#pragma once
// CSqliteDb and CSqliteStatement: a thin RAII layer over SQLite for the central server's
// store. Every failure is thrown as XCentralStoreError carrying SQLite's own message, so a
// request that meets one is rolled back whole by its transaction.

#include "foundation/CZelString.h"

#include <cstdint>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class XCentralStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CSqliteStatement {
public:
    CSqliteStatement(sqlite3* db, const char* sql);
    ~CSqliteStatement();
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    // Parameters are numbered from 1, as in the SQL text.
    CSqliteStatement& Bind(int index, int64_t value);
    CSqliteStatement& Bind(int index, const CZelString& bytes);   // as a blob: any bytes survive
    CSqliteStatement& Bind(int index, const char* text);          // as text
    CSqliteStatement& BindText(int index, const CZelString& text); // as text, so collations apply
    CSqliteStatement& BindNull(int index);

    // True while a row is there; false when the statement is done.
    bool Step();
    // Runs a statement that returns no rows.
    void Run();

    int64_t Int(int column) const;
    CZelString Bytes(int column) const;   // blob or text
    bool IsNull(int column) const;
    int ColumnCount() const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

class CSqliteDb {
public:
    // Opens (creating when missing) the database file.
    explicit CSqliteDb(const std::string& path);
    ~CSqliteDb();
    CSqliteDb(const CSqliteDb&) = delete;
    CSqliteDb& operator=(const CSqliteDb&) = delete;

    void Exec(const char* sql);
    CSqliteStatement Prepare(const char* sql) { return CSqliteStatement(m_db, sql); }
    int64_t LastInsertId() const;
    int Changes() const;

private:
    sqlite3* m_db = nullptr;
};
