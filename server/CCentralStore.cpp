#include "server/CCentralStore.h"

#include "crypto/LongInt2.h"
#include "crypto/RsaKeyPair.h"
#include "crypto/CCryptRandom.h"
#include "foundation/ZelDateTime.h"
#include "server/CCentralSchema.h"
#include "server/CPostgresDb.h"
#include "server/CSqliteDb.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

const char* ListCode(CCentralList list)
{
    return list == CCentralList::Black ? "bl" : "cl";
}

CZelString ValueOf(const LongInt2& value)
{
    return CZelString(reinterpret_cast<const char*>(value.GetData()), value.GetSize());
}

constexpr char kAccountColumns[] =
    "SELECT id, email, n, e, name, translit_name, unicode_name, birthday, issued_by, secure_code,"
    " auto_reply, auto_reply_eng, user_level, operated_status FROM accounts ";

// The holds of the calling thread, one per store it holds.
struct ThreadHold {
    const CCentralStore* store;
    CStoreDb* db;
    int holds;
    bool inTransaction;
};
thread_local std::vector<ThreadHold> t_holds;

ThreadHold* HoldOf(const CCentralStore* store)
{
    for (ThreadHold& hold : t_holds)
        if (hold.store == store)
            return &hold;
    return nullptr;
}

// Two instances opening a new database at once would both make its tables and key.
constexpr int64_t kOpeningLockKey = 7306101;

} // namespace

struct CCentralStore::Pool {
    std::mutex lock;
    std::vector<std::unique_ptr<CPostgresDb>> idle;
};

CCentralStore::CCentralStore(const std::string& location, int serverKeyBytes) : m_location(location)
{
    if (CPostgresDb::IsLocation(location)) {
        OpenPostgres(location, serverKeyBytes);
        return;
    }
    OpenSqlite(location);
    LoadOrMakeServerKey(serverKeyBytes);
    Hold hold(*this);
    m_lastTimeStamp = LatestStoredTimeStamp();
}

CCentralStore::~CCentralStore() = default;

void CCentralStore::OpenSqlite(const std::string& path)
{
    m_sqlite = std::make_unique<CSqliteDb>(path);
    m_sqlite->Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON;");
    central_schema::Migrate(*m_sqlite);
    central_schema::RecordHeldAddresses(*m_sqlite);
}

void CCentralStore::OpenPostgres(const std::string& connection, int serverKeyBytes)
{
    m_pool = std::make_unique<Pool>();
    auto db = std::make_unique<CPostgresDb>(connection);
    db->Prepare("SELECT pg_advisory_lock(?)").Bind(1, kOpeningLockKey).Run();
    try {
        central_schema::Migrate(*db);
        central_schema::RecordHeldAddresses(*db);
        m_pool->idle.push_back(std::move(db));
        LoadOrMakeServerKey(serverKeyBytes);
    } catch (...) {
        if (db)
            db->Rollback();
        throw;
    }
    // The lock goes with the session it was taken in; any connection of the pool may be that one.
    Hold hold(*this);
    hold.Db().Prepare("SELECT pg_advisory_unlock(?)").Bind(1, kOpeningLockKey).Run();
}

CStoreEngine CCentralStore::Engine() const
{
    return m_pool ? CStoreEngine::Postgres : CStoreEngine::Sqlite;
}

CStoreDb* CCentralStore::TakeConnection()
{
    if (!m_pool) {
        m_sqliteLock.lock();
        return m_sqlite.get();
    }
    {
        std::lock_guard hold(m_pool->lock);
        if (!m_pool->idle.empty()) {
            CStoreDb* db = m_pool->idle.back().release();
            m_pool->idle.pop_back();
            return db;
        }
    }
    return new CPostgresDb(m_location);
}

void CCentralStore::GiveBackConnection(CStoreDb* db)
{
    if (!m_pool) {
        m_sqliteLock.unlock();
        return;
    }
    std::unique_ptr<CPostgresDb> connection(static_cast<CPostgresDb*>(db));
    if (!connection->IsUsable())
        return;
    std::lock_guard hold(m_pool->lock);
    m_pool->idle.push_back(std::move(connection));
}

CCentralStore::Hold::Hold(CCentralStore& store) : m_store(store)
{
    if (ThreadHold* held = HoldOf(&store)) {
        ++held->holds;
        m_db = held->db;
        return;
    }
    m_db = store.TakeConnection();
    t_holds.push_back({&store, m_db, 1, false});
}

CCentralStore::Hold::~Hold()
{
    ThreadHold* held = HoldOf(&m_store);
    if (--held->holds > 0)
        return;
    t_holds.erase(t_holds.begin() + (held - t_holds.data()));
    m_store.GiveBackConnection(m_db);
}

CCentralStore::Transaction::Transaction(CCentralStore& store) : m_hold(store)
{
    ThreadHold* held = HoldOf(&store);
    if (held->inTransaction)
        throw XCentralStoreError("a transaction was started inside another");
    m_hold.Db().Begin();
    held->inTransaction = true;
}

CCentralStore::Transaction::~Transaction()
{
    HoldOf(&m_hold.Store())->inTransaction = false;
    if (!m_done)
        m_hold.Db().Rollback();
}

void CCentralStore::Transaction::Commit()
{
    m_hold.Db().Commit();
    m_done = true;
}

bool CCentralStore::InTransactionOnThisThread() const
{
    const ThreadHold* held = HoldOf(this);
    return held && held->inTransaction;
}

CStoreDb& CCentralStore::Db()
{
    ThreadHold* held = HoldOf(this);
    if (!held)
        throw XCentralStoreError("the store was used without a hold");
    return *held->db;
}

void CCentralStore::PauseBeforeAttempt(int attempt)
{
    // A little longer each time and never in step with the rival, so the two stop meeting.
    unsigned char noise = 0;
    CryptRandomFill(&noise, 1);
    const int limit = std::min(attempt, 6) * 2000;
    std::this_thread::sleep_for(std::chrono::microseconds(200 + (limit * noise) / 255));
}

int CCentralStore::SchemaVersion()
{
    Hold hold(*this);
    return central_schema::StoredVersion(hold.Db());
}

void CCentralStore::LoadOrMakeServerKey(int serverKeyBytes)
{
    {
        Hold hold(*this);
        CStoreStatement statement = hold.Db().Prepare("SELECT n, d, e FROM server_key WHERE slot = 1");
        if (statement.Step()) {
            m_serverKey = {statement.Bytes(0), statement.Bytes(1), statement.Bytes(2)};
            return;
        }
    }
    LongInt2 n(serverKeyBytes), d(serverKeyBytes), e(serverKeyBytes);
    if (RsaKeyPair::Generate(serverKeyBytes, n, d, e) != 1)
        throw XCentralStoreError("the server key pair could not be made");
    Transaction transaction(*this);
    Db().Prepare("INSERT INTO server_key (slot, n, d, e) VALUES (1, ?, ?, ?)")
        .Bind(1, ValueOf(n)).Bind(2, ValueOf(d)).Bind(3, ValueOf(e)).Run();
    transaction.Commit();
    m_serverKey = {ValueOf(n), ValueOf(d), ValueOf(e)};
}

int64_t CCentralStore::LatestStoredTimeStamp()
{
    CStoreStatement statement = Db().Prepare(
        "SELECT MAX(t) FROM (SELECT MAX(time_stamp) AS t FROM updates UNION ALL"
        " SELECT MAX(created) FROM message_recipients UNION ALL SELECT MAX(delivered) FROM message_recipients"
        " UNION ALL SELECT MAX(abuse_time) FROM message_recipients) AS stamps");
    return statement.Step() && !statement.IsNull(0) ? statement.Int(0) : 0;
}

int64_t CCentralStore::NextTimeStamp()
{
    if (Engine() == CStoreEngine::Postgres) {
        CStoreStatement statement = Db().Prepare(
            "UPDATE store_clock SET last = GREATEST(last + 1, ?) WHERE slot = 1 RETURNING last");
        statement.Bind(1, NowMicroseconds());
        if (!statement.Step())
            throw XCentralStoreError("the store clock is missing");
        return statement.Int(0);
    }
    std::lock_guard lock(m_clockLock);
    m_lastTimeStamp = std::max(NowMicroseconds(), m_lastTimeStamp + 1);
    return m_lastTimeStamp;
}

int64_t CCentralStore::UniqueTimeStamp()
{
    if (Engine() == CStoreEngine::Sqlite)
        return NextTimeStamp();
    CStoreStatement statement = Db().Prepare("SELECT velmo_unique_stamp(?)");
    statement.Bind(1, NowMicroseconds());
    if (!statement.Step())
        throw XCentralStoreError("no unique time stamp");
    return statement.Int(0);
}

std::optional<CCentralAccount> CCentralStore::ReadAccount(CStoreStatement& statement)
{
    if (!statement.Step())
        return std::nullopt;
    CCentralAccount account;
    account.id = statement.Int(0);
    CZelString* fields[] = {&account.email,        &account.n,          &account.e,
                            &account.name,         &account.translitName, &account.unicodeName,
                            &account.birthday,     &account.issuedBy,   &account.secureCode,
                            &account.autoReply,    &account.autoReplyEng, &account.userLevel,
                            &account.operatedStatus};
    for (int i = 0; i < static_cast<int>(std::size(fields)); ++i)
        *fields[i] = statement.Bytes(i + 1);
    return account;
}

std::optional<CCentralAccount> CCentralStore::FindAccount(int64_t id)
{
    Hold hold(*this);
    CStoreStatement statement = Db().Prepare((std::string(kAccountColumns) + "WHERE id = ?").c_str());
    statement.Bind(1, id);
    return ReadAccount(statement);
}

std::optional<CCentralAccount> CCentralStore::FindAccountByEmail(const CZelString& email)
{
    Hold hold(*this);
    // No account holds an address the database could not even store.
    if (!Db().CanHoldText(email))
        return std::nullopt;
    CStoreStatement statement =
        Db().Prepare((std::string(kAccountColumns) + Db().Sql("WHERE email = ?", "WHERE lower(email) = lower(?)")).c_str());
    statement.BindText(1, email);
    return ReadAccount(statement);
}

int64_t CCentralStore::AddAccount(CCentralAccount& account)
{
    Hold hold(*this);
    CStoreStatement count = Db().Prepare("SELECT COUNT(*) FROM accounts");
    const bool first = count.Step() && count.Int(0) == 0;
    account.userLevel = first ? kLevelAdministrator : kLevelAuthorized;
    account.operatedStatus = kOperatedNormal;
    CStoreStatement insert = Db().Prepare(
        "INSERT INTO accounts (email, n, e, name, translit_name, unicode_name, birthday, issued_by,"
        " secure_code, auto_reply, auto_reply_eng, user_level, operated_status, registered)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id");
    insert.BindText(1, account.email).Bind(2, account.n).Bind(3, account.e)
        .Bind(4, account.name).Bind(5, account.translitName).Bind(6, account.unicodeName)
        .Bind(7, account.birthday).Bind(8, account.issuedBy).Bind(9, account.secureCode)
        .Bind(10, account.autoReply).Bind(11, account.autoReplyEng)
        .BindText(12, account.userLevel).BindText(13, account.operatedStatus)
        .Bind(14, NowMicroseconds());
    if (!insert.Step())
        throw XCentralStoreError("the new account got no id");
    account.id = insert.Int(0);
    return account.id;
}

void CCentralStore::UpdateAccountData(const CCentralAccount& account)
{
    Hold hold(*this);
    Db().Prepare("UPDATE accounts SET email = ?, name = ?, translit_name = ?, unicode_name = ?, birthday = ?,"
                  " issued_by = ?, secure_code = ?, auto_reply = ?, auto_reply_eng = ? WHERE id = ?")
        .BindText(1, account.email).Bind(2, account.name).Bind(3, account.translitName)
        .Bind(4, account.unicodeName).Bind(5, account.birthday).Bind(6, account.issuedBy)
        .Bind(7, account.secureCode).Bind(8, account.autoReply).Bind(9, account.autoReplyEng)
        .Bind(10, account.id).Run();
}

void CCentralStore::SetStanding(int64_t id, const CZelString& userLevel, const CZelString& operatedStatus)
{
    Hold hold(*this);
    Db().Prepare("UPDATE accounts SET user_level = ?, operated_status = ? WHERE id = ?")
        .BindText(1, userLevel).BindText(2, operatedStatus).Bind(3, id).Run();
}

void CCentralStore::AddSessionKey(int64_t accountId, uint32_t keyNumber, const CZelString& key, int64_t now)
{
    Hold hold(*this);
    Db().Prepare("INSERT INTO session_key_ring (account_id, key_number, key, last_used) VALUES (?, ?, ?, ?)"
                  " ON CONFLICT (account_id, key_number, key) DO UPDATE SET last_used = CASE WHEN excluded.last_used > session_key_ring.last_used"
                 " THEN excluded.last_used ELSE session_key_ring.last_used END")
        .Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, key).Bind(4, now).Run();
    Db().Prepare("DELETE FROM session_key_ring WHERE account_id = ? AND last_used <= ?")
        .Bind(1, accountId).Bind(2, now - kSessionKeyLifetimeMicroseconds).Run();
    Db().Prepare(Db().Sql("DELETE FROM session_key_ring WHERE account_id = ? AND key_number = ? AND key NOT IN"
                          " (SELECT key FROM session_key_ring WHERE account_id = ? AND key_number = ?"
                          "  ORDER BY last_used DESC, rowid DESC LIMIT ?)",
                          "DELETE FROM session_key_ring WHERE account_id = ? AND key_number = ? AND key NOT IN"
                          " (SELECT key FROM session_key_ring WHERE account_id = ? AND key_number = ?"
                          "  ORDER BY last_used DESC, seq DESC LIMIT ?)"))
        .Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, accountId).Bind(4, int64_t(keyNumber))
        .Bind(5, int64_t(kRecentKeysPerNumber)).Run();
}

std::vector<CZelString> CCentralStore::SessionKeys(int64_t accountId, uint32_t keyNumber, int64_t now)
{
    Hold hold(*this);
    CStoreStatement statement = Db().Prepare(
        Db().Sql("SELECT key FROM session_key_ring WHERE account_id = ? AND key_number = ? AND last_used > ?"
                 " ORDER BY last_used DESC, rowid DESC",
                 "SELECT key FROM session_key_ring WHERE account_id = ? AND key_number = ? AND last_used > ?"
                 " ORDER BY last_used DESC, seq DESC"));
    statement.Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, now - kSessionKeyLifetimeMicroseconds);
    std::vector<CZelString> keys;
    while (statement.Step())
        keys.push_back(statement.Bytes(0));
    return keys;
}

void CCentralStore::TouchSessionKey(int64_t accountId, uint32_t keyNumber, const CZelString& key, int64_t now)
{
    Hold hold(*this);
    Db().Prepare("UPDATE session_key_ring SET last_used = ? WHERE account_id = ? AND key_number = ? AND key = ?"
                 " AND last_used < ?")
        .Bind(1, now).Bind(2, accountId).Bind(3, int64_t(keyNumber)).Bind(4, key).Bind(5, now).Run();
}

CZelString CCentralStore::SessionKey(int64_t accountId, uint32_t keyNumber)
{
    const std::vector<CZelString> keys = SessionKeys(accountId, keyNumber, NowMicroseconds());
    return keys.empty() ? CZelString() : keys.front();
}

void CCentralStore::SetSeed(int64_t accountId, const CZelString& seed, int64_t expiresAt)
{
    Hold hold(*this);
    Db().Prepare("INSERT INTO seeds (account_id, seed, expires) VALUES (?, ?, ?)"
                 " ON CONFLICT (account_id) DO UPDATE SET seed = excluded.seed, expires = excluded.expires")
        .Bind(1, accountId).BindText(2, seed).Bind(3, expiresAt).Run();
}

std::optional<std::pair<CZelString, int64_t>> CCentralStore::Seed(int64_t accountId)
{
    Hold hold(*this);
    CStoreStatement statement = Db().Prepare("SELECT seed, expires FROM seeds WHERE account_id = ?");
    statement.Bind(1, accountId);
    if (!statement.Step())
        return std::nullopt;
    return std::make_pair(statement.Bytes(0), statement.Int(1));
}

CCentralList CCentralStore::ListOf(int64_t ownerId, int64_t memberId)
{
    Hold hold(*this);
    CStoreStatement statement = Db().Prepare("SELECT list FROM lists WHERE owner_id = ? AND member_id = ?");
    statement.Bind(1, ownerId).Bind(2, memberId);
    if (!statement.Step())
        return CCentralList::None;
    return statement.Bytes(0) == "bl" ? CCentralList::Black : CCentralList::Contact;
}

void CCentralStore::PutOnList(int64_t ownerId, int64_t memberId, CCentralList list)
{
    if (list == CCentralList::None) {
        TakeOffList(ownerId, memberId);
        return;
    }
    Hold hold(*this);
    Db().Prepare("INSERT INTO lists (owner_id, member_id, list) VALUES (?, ?, ?)"
                 " ON CONFLICT (owner_id, member_id) DO UPDATE SET list = excluded.list")
        .Bind(1, ownerId).Bind(2, memberId).Bind(3, ListCode(list)).Run();
}

void CCentralStore::TakeOffList(int64_t ownerId, int64_t memberId)
{
    Hold hold(*this);
    Db().Prepare("DELETE FROM lists WHERE owner_id = ? AND member_id = ?").Bind(1, ownerId).Bind(2, memberId).Run();
}

std::vector<std::pair<int64_t, CCentralList>> CCentralStore::ListersOf(int64_t memberId)
{
    Hold hold(*this);
    CStoreStatement statement = Db().Prepare("SELECT owner_id, list FROM lists WHERE member_id = ? ORDER BY owner_id");
    statement.Bind(1, memberId);
    std::vector<std::pair<int64_t, CCentralList>> listers;
    while (statement.Step())
        listers.emplace_back(statement.Int(0), statement.Bytes(1) == "bl" ? CCentralList::Black : CCentralList::Contact);
    return listers;
}

int64_t CCentralStore::AddUpdate(int64_t ownerId, const char* action, const CCentralAccount& member)
{
    Hold hold(*this);
    const int64_t timeStamp = NextTimeStamp();
    Db().Prepare("INSERT INTO updates (account_id, time_stamp, action, member_id, email, name, translit_name,"
                  " unicode_name) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
        .Bind(1, ownerId).Bind(2, timeStamp).Bind(3, action).Bind(4, member.id).BindText(5, member.email)
        .Bind(6, member.name).Bind(7, member.translitName).Bind(8, member.unicodeName).Run();
    return timeStamp;
}

std::vector<CCentralUpdate> CCentralStore::UpdatesAfter(int64_t ownerId, int64_t timeStamp)
{
    Hold hold(*this);
    CStoreStatement statement = Db().Prepare(
        "SELECT time_stamp, action, member_id, email, name, translit_name, unicode_name FROM updates"
        " WHERE account_id = ? AND time_stamp > ? ORDER BY time_stamp, seq");
    statement.Bind(1, ownerId).Bind(2, timeStamp);
    std::vector<CCentralUpdate> updates;
    while (statement.Step()) {
        updates.push_back({statement.Int(0), statement.Bytes(1), statement.Int(2), statement.Bytes(3),
                           statement.Bytes(4), statement.Bytes(5), statement.Bytes(6)});
    }
    return updates;
}
