#pragma once
// CStoreDb and CStoreStatement: one connection to the central server's database, whichever
// engine holds it (CSqliteDb, CPostgresDb). The SQL is written once, in the part of the language
// both engines share, with `?` for parameters; where they differ the caller picks the text with
// Sql(). Every failure is thrown as XCentralStoreError carrying the engine's own message, so a
// request that meets one is rolled back whole by its transaction.

#include "foundation/CZelString.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class XCentralStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The transaction lost a race with another one (PostgreSQL's serialization failure or
// deadlock): nothing of it was written, and running it again from the start is the cure.
class XCentralStoreConflict : public XCentralStoreError {
public:
    using XCentralStoreError::XCentralStoreError;
};

enum class CStoreEngine { Sqlite, Postgres };

// What a column of a result row holds.
enum class CStoreValueKind { Null, Integer, Text, Bytes };

// One engine's prepared statement; CStoreStatement is its handle.
class IStoreStatement {
public:
    virtual ~IStoreStatement() = default;
    virtual void BindInt(int index, int64_t value) = 0;
    virtual void BindBytes(int index, const CZelString& bytes) = 0;
    virtual void BindText(int index, std::string_view text) = 0;
    virtual void BindNull(int index) = 0;
    virtual bool Step() = 0;
    virtual int64_t Int(int column) const = 0;
    virtual CZelString Bytes(int column) const = 0;
    virtual CStoreValueKind Kind(int column) const = 0;
    virtual int ColumnCount() const = 0;
};

class CStoreStatement {
public:
    explicit CStoreStatement(std::unique_ptr<IStoreStatement> statement) : m_statement(std::move(statement)) {}

    // Parameters are numbered from 1, as the `?` stand in the SQL text.
    CStoreStatement& Bind(int index, int64_t value);
    CStoreStatement& Bind(int index, const CZelString& bytes);    // as bytes: any bytes survive
    CStoreStatement& Bind(int index, const char* text);           // as text
    CStoreStatement& BindText(int index, const CZelString& text); // as text, so case rules apply
    CStoreStatement& BindNull(int index);

    // True while a row is there; false when the statement is done.
    bool Step() { return m_statement->Step(); }
    // Runs a statement whose rows nobody reads.
    void Run();

    int64_t Int(int column) const { return m_statement->Int(column); }
    CZelString Bytes(int column) const { return m_statement->Bytes(column); }   // bytes or text
    bool IsNull(int column) const { return m_statement->Kind(column) == CStoreValueKind::Null; }
    CStoreValueKind Kind(int column) const { return m_statement->Kind(column); }
    int ColumnCount() const { return m_statement->ColumnCount(); }

private:
    std::unique_ptr<IStoreStatement> m_statement;
};

class CStoreDb {
public:
    virtual ~CStoreDb() = default;

    virtual CStoreEngine Engine() const = 0;
    // Runs statements without parameters, separated by ';'.
    virtual void Exec(const char* sql) = 0;
    virtual CStoreStatement Prepare(const char* sql) = 0;
    // Rows a statement changed; only for the statement just run.
    virtual int64_t Changes() const = 0;
    // Starts a transaction that sees and writes as if it ran alone.
    virtual void Begin() = 0;
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    // Whether a text column can hold `text` as it is (no NUL, and valid in the database's
    // encoding); a lookup of a text no column can hold finds nothing.
    virtual bool CanHoldText(const CZelString& text) const = 0;

    // The text for this engine where the two dialects differ.
    const char* Sql(const char* sqlite, const char* postgres) const
    {
        return Engine() == CStoreEngine::Sqlite ? sqlite : postgres;
    }
};
