#pragma once
// CSqliteDb: the central server's database in one SQLite file, the embedded default for one
// machine. Transactions take the write lock at their start (BEGIN IMMEDIATE), so within one
// process they run one after the other and never conflict.

#include "server/CStoreDb.h"

#include <string>

struct sqlite3;

class CSqliteDb : public CStoreDb {
public:
    // Opens (creating when missing) the database file.
    explicit CSqliteDb(const std::string& path);
    ~CSqliteDb() override;
    CSqliteDb(const CSqliteDb&) = delete;
    CSqliteDb& operator=(const CSqliteDb&) = delete;

    CStoreEngine Engine() const override { return CStoreEngine::Sqlite; }
    void Exec(const char* sql) override;
    CStoreStatement Prepare(const char* sql) override;
    int64_t Changes() const override;
    void Begin() override { Exec("BEGIN IMMEDIATE"); }
    void Commit() override { Exec("COMMIT"); }
    void Rollback() override;
    bool CanHoldText(const CZelString& text) const override { return true; }

private:
    sqlite3* m_db = nullptr;
};
