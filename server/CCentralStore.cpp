#include "server/CCentralStore.h"

#include "crypto/LongInt2.h"
#include "crypto/RsaKeyPair.h"
#include "server/CCentralAccountGuards.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "server/CCentralRequestGuards.h"

#include <algorithm>
#include <chrono>

namespace {

// Each entry brings the tables from the version before it to its own; append, never edit.
const char* const kMigrations[] = {
    // 1
    "CREATE TABLE server_key (slot INTEGER PRIMARY KEY CHECK (slot = 1),"
    "  n BLOB NOT NULL, d BLOB NOT NULL, e BLOB NOT NULL);"
    "CREATE TABLE accounts (id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  email TEXT NOT NULL UNIQUE COLLATE NOCASE, n BLOB NOT NULL, e BLOB NOT NULL,"
    "  name BLOB, translit_name BLOB, unicode_name BLOB, birthday BLOB, issued_by BLOB,"
    "  secure_code BLOB, auto_reply BLOB, auto_reply_eng BLOB,"
    "  user_level TEXT NOT NULL, operated_status TEXT NOT NULL, registered INTEGER NOT NULL);"
    "CREATE TABLE session_keys (account_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  key_number INTEGER NOT NULL, key BLOB NOT NULL, PRIMARY KEY (account_id, key_number));"
    "CREATE TABLE seeds (account_id INTEGER PRIMARY KEY REFERENCES accounts(id),"
    "  seed TEXT NOT NULL, expires INTEGER NOT NULL);"
    "CREATE TABLE lists (owner_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  member_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  list TEXT NOT NULL CHECK (list IN ('cl', 'bl')), PRIMARY KEY (owner_id, member_id));"
    "CREATE TABLE updates (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  account_id INTEGER NOT NULL REFERENCES accounts(id), time_stamp INTEGER NOT NULL,"
    "  action TEXT NOT NULL, member_id INTEGER NOT NULL, email TEXT, name BLOB,"
    "  translit_name BLOB, unicode_name BLOB);"
    "CREATE INDEX updates_by_account ON updates (account_id, time_stamp);"
    "CREATE TABLE messages (id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  sender_id INTEGER NOT NULL REFERENCES accounts(id), created INTEGER NOT NULL,"
    "  upload BLOB, upload_length INTEGER NOT NULL DEFAULT 0, complete INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE message_recipients (message_id TEXT PRIMARY KEY,"
    "  message INTEGER REFERENCES messages(id), sender_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  recipient_id INTEGER NOT NULL REFERENCES accounts(id), created INTEGER NOT NULL,"
    "  data BLOB, delivered INTEGER, abuse_report TEXT, abuse_time INTEGER,"
    "  deleted INTEGER NOT NULL DEFAULT 0);",
    // 2: every (account, key number) keeps its recent keys instead of the last one only; the
    // keys of version 1 come along, counted as used at the migration.
    "CREATE TABLE session_key_ring (account_id INTEGER NOT NULL REFERENCES accounts(id),"
    "  key_number INTEGER NOT NULL, key BLOB NOT NULL, last_used INTEGER NOT NULL,"
    "  PRIMARY KEY (account_id, key_number, key));"
    "INSERT INTO session_key_ring (account_id, key_number, key, last_used)"
    "  SELECT account_id, key_number, key, CAST(strftime('%s', 'now') AS INTEGER) * 1000000 FROM session_keys;"
    "DROP TABLE session_keys;",
};
constexpr int kMigrationCount = sizeof kMigrations / sizeof kMigrations[0];
static_assert(kMigrationCount == CCentralStore::kSchemaVersion);

const char* ListCode(CCentralList list)
{
    return list == CCentralList::Black ? "bl" : "cl";
}

int64_t NowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

CZelString ValueOf(const LongInt2& value)
{
    return CZelString(reinterpret_cast<const char*>(value.GetData()), value.GetSize());
}

constexpr char kAccountColumns[] =
    "SELECT id, email, n, e, name, translit_name, unicode_name, birthday, issued_by, secure_code,"
    " auto_reply, auto_reply_eng, user_level, operated_status FROM accounts ";

} // namespace

CCentralStore::CCentralStore(const std::string& path, int serverKeyBytes)
    : m_db(std::make_unique<CSqliteDb>(path))
{
    m_db->Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON;");
    Migrate();
    CCentralAccountGuards::CreateTables(*m_db);
    CCentralRequestGuards::AddTables(*m_db);
    LoadOrMakeServerKey(serverKeyBytes);
    m_lastTimeStamp = LatestStoredTimeStamp();
}

CCentralStore::~CCentralStore() = default;

CCentralStore::Transaction::Transaction(CCentralStore& store) : m_store(store), m_lock(store.m_lock)
{
    if (m_store.m_depth++ == 0)
        m_store.m_owner = std::this_thread::get_id();
    try {
        m_store.m_db->Exec("BEGIN IMMEDIATE");
    } catch (...) {
        LeaveThread();
        throw;
    }
}

CCentralStore::Transaction::~Transaction()
{
    if (!m_done) {
        try {
            m_store.m_db->Exec("ROLLBACK");
        } catch (const XCentralStoreError&) {
            // SQLite already rolled back on its own (a failed COMMIT, a full disk).
        }
    }
    LeaveThread();
}

void CCentralStore::Transaction::LeaveThread()
{
    if (--m_store.m_depth == 0)
        m_store.m_owner = std::thread::id();
}

void CCentralStore::Transaction::Commit()
{
    m_store.m_db->Exec("COMMIT");
    m_done = true;
}

void CCentralStore::Migrate()
{
    m_db->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const int version = SchemaVersion();
    if (version > kSchemaVersion)
        throw XCentralStoreError("the database has schema version " + std::to_string(version) +
                                 ", newer than this program's " + std::to_string(kSchemaVersion));
    for (int next = version; next < kSchemaVersion; ++next) {
        Transaction transaction(*this);
        m_db->Exec(kMigrations[next]);
        m_db->Exec("DELETE FROM schema_version");
        m_db->Prepare("INSERT INTO schema_version (version) VALUES (?)").Bind(1, int64_t(next + 1)).Run();
        transaction.Commit();
    }
}

int CCentralStore::SchemaVersion()
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare("SELECT MAX(version) FROM schema_version");
    return statement.Step() && !statement.IsNull(0) ? static_cast<int>(statement.Int(0)) : 0;
}

void CCentralStore::LoadOrMakeServerKey(int serverKeyBytes)
{
    {
        std::lock_guard lock(m_lock);
        CSqliteStatement statement = m_db->Prepare("SELECT n, d, e FROM server_key WHERE slot = 1");
        if (statement.Step()) {
            m_serverKey = {statement.Bytes(0), statement.Bytes(1), statement.Bytes(2)};
            return;
        }
    }
    LongInt2 n(serverKeyBytes), d(serverKeyBytes), e(serverKeyBytes);
    if (RsaKeyPair::Generate(serverKeyBytes, n, d, e) != 1)
        throw XCentralStoreError("the server key pair could not be made");
    Transaction transaction(*this);
    m_db->Prepare("INSERT INTO server_key (slot, n, d, e) VALUES (1, ?, ?, ?)")
        .Bind(1, ValueOf(n)).Bind(2, ValueOf(d)).Bind(3, ValueOf(e)).Run();
    transaction.Commit();
    m_serverKey = {ValueOf(n), ValueOf(d), ValueOf(e)};
}

int64_t CCentralStore::LatestStoredTimeStamp()
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare(
        "SELECT MAX(t) FROM (SELECT MAX(time_stamp) AS t FROM updates UNION ALL"
        " SELECT MAX(created) FROM message_recipients UNION ALL SELECT MAX(delivered) FROM message_recipients"
        " UNION ALL SELECT MAX(abuse_time) FROM message_recipients)");
    return statement.Step() && !statement.IsNull(0) ? statement.Int(0) : 0;
}

int64_t CCentralStore::NextTimeStamp()
{
    std::lock_guard lock(m_lock);
    m_lastTimeStamp = std::max(NowMicroseconds(), m_lastTimeStamp + 1);
    return m_lastTimeStamp;
}

std::optional<CCentralAccount> CCentralStore::ReadAccount(CSqliteStatement& statement)
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
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare((std::string(kAccountColumns) + "WHERE id = ?").c_str());
    statement.Bind(1, id);
    return ReadAccount(statement);
}

std::optional<CCentralAccount> CCentralStore::FindAccountByEmail(const CZelString& email)
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare((std::string(kAccountColumns) + "WHERE email = ?").c_str());
    statement.BindText(1, email);
    return ReadAccount(statement);
}

int64_t CCentralStore::AddAccount(CCentralAccount& account)
{
    std::lock_guard lock(m_lock);
    CSqliteStatement count = m_db->Prepare("SELECT COUNT(*) FROM accounts");
    const bool first = count.Step() && count.Int(0) == 0;
    account.userLevel = first ? kLevelAdministrator : kLevelAuthorized;
    account.operatedStatus = kOperatedNormal;
    m_db->Prepare("INSERT INTO accounts (email, n, e, name, translit_name, unicode_name, birthday, issued_by,"
                  " secure_code, auto_reply, auto_reply_eng, user_level, operated_status, registered)"
                  " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .BindText(1, account.email).Bind(2, account.n).Bind(3, account.e)
        .Bind(4, account.name).Bind(5, account.translitName).Bind(6, account.unicodeName)
        .Bind(7, account.birthday).Bind(8, account.issuedBy).Bind(9, account.secureCode)
        .Bind(10, account.autoReply).Bind(11, account.autoReplyEng)
        .BindText(12, account.userLevel).BindText(13, account.operatedStatus)
        .Bind(14, NowMicroseconds()).Run();
    account.id = m_db->LastInsertId();
    return account.id;
}

void CCentralStore::UpdateAccountData(const CCentralAccount& account)
{
    std::lock_guard lock(m_lock);
    m_db->Prepare("UPDATE accounts SET email = ?, name = ?, translit_name = ?, unicode_name = ?, birthday = ?,"
                  " issued_by = ?, secure_code = ?, auto_reply = ?, auto_reply_eng = ? WHERE id = ?")
        .BindText(1, account.email).Bind(2, account.name).Bind(3, account.translitName)
        .Bind(4, account.unicodeName).Bind(5, account.birthday).Bind(6, account.issuedBy)
        .Bind(7, account.secureCode).Bind(8, account.autoReply).Bind(9, account.autoReplyEng)
        .Bind(10, account.id).Run();
}

void CCentralStore::SetStanding(int64_t id, const CZelString& userLevel, const CZelString& operatedStatus)
{
    std::lock_guard lock(m_lock);
    m_db->Prepare("UPDATE accounts SET user_level = ?, operated_status = ? WHERE id = ?")
        .BindText(1, userLevel).BindText(2, operatedStatus).Bind(3, id).Run();
}

void CCentralStore::AddSessionKey(int64_t accountId, uint32_t keyNumber, const CZelString& key, int64_t now)
{
    std::lock_guard lock(m_lock);
    m_db->Prepare("INSERT INTO session_key_ring (account_id, key_number, key, last_used) VALUES (?, ?, ?, ?)"
                  " ON CONFLICT (account_id, key_number, key) DO UPDATE SET last_used = MAX(last_used, excluded.last_used)")
        .Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, key).Bind(4, now).Run();
    m_db->Prepare("DELETE FROM session_key_ring WHERE account_id = ? AND last_used <= ?")
        .Bind(1, accountId).Bind(2, now - kSessionKeyLifetimeMicroseconds).Run();
    m_db->Prepare("DELETE FROM session_key_ring WHERE account_id = ? AND key_number = ? AND key NOT IN"
                  " (SELECT key FROM session_key_ring WHERE account_id = ? AND key_number = ?"
                  "  ORDER BY last_used DESC, rowid DESC LIMIT ?)")
        .Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, accountId).Bind(4, int64_t(keyNumber))
        .Bind(5, int64_t(kRecentKeysPerNumber)).Run();
}

std::vector<CZelString> CCentralStore::SessionKeys(int64_t accountId, uint32_t keyNumber, int64_t now)
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare(
        "SELECT key FROM session_key_ring WHERE account_id = ? AND key_number = ? AND last_used > ?"
        " ORDER BY last_used DESC, rowid DESC");
    statement.Bind(1, accountId).Bind(2, int64_t(keyNumber)).Bind(3, now - kSessionKeyLifetimeMicroseconds);
    std::vector<CZelString> keys;
    while (statement.Step())
        keys.push_back(statement.Bytes(0));
    return keys;
}

void CCentralStore::TouchSessionKey(int64_t accountId, uint32_t keyNumber, const CZelString& key, int64_t now)
{
    std::lock_guard lock(m_lock);
    m_db->Prepare("UPDATE session_key_ring SET last_used = MAX(last_used, ?)"
                  " WHERE account_id = ? AND key_number = ? AND key = ?")
        .Bind(1, now).Bind(2, accountId).Bind(3, int64_t(keyNumber)).Bind(4, key).Run();
}

CZelString CCentralStore::SessionKey(int64_t accountId, uint32_t keyNumber)
{
    const std::vector<CZelString> keys = SessionKeys(accountId, keyNumber, NowMicroseconds());
    return keys.empty() ? CZelString() : keys.front();
}

void CCentralStore::SetSeed(int64_t accountId, const CZelString& seed, int64_t expiresAt)
{
    std::lock_guard lock(m_lock);
    m_db->Prepare("INSERT OR REPLACE INTO seeds (account_id, seed, expires) VALUES (?, ?, ?)")
        .Bind(1, accountId).BindText(2, seed).Bind(3, expiresAt).Run();
}

std::optional<std::pair<CZelString, int64_t>> CCentralStore::Seed(int64_t accountId)
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare("SELECT seed, expires FROM seeds WHERE account_id = ?");
    statement.Bind(1, accountId);
    if (!statement.Step())
        return std::nullopt;
    return std::make_pair(statement.Bytes(0), statement.Int(1));
}

CCentralList CCentralStore::ListOf(int64_t ownerId, int64_t memberId)
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare("SELECT list FROM lists WHERE owner_id = ? AND member_id = ?");
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
    std::lock_guard lock(m_lock);
    m_db->Prepare("INSERT OR REPLACE INTO lists (owner_id, member_id, list) VALUES (?, ?, ?)")
        .Bind(1, ownerId).Bind(2, memberId).Bind(3, ListCode(list)).Run();
}

void CCentralStore::TakeOffList(int64_t ownerId, int64_t memberId)
{
    std::lock_guard lock(m_lock);
    m_db->Prepare("DELETE FROM lists WHERE owner_id = ? AND member_id = ?").Bind(1, ownerId).Bind(2, memberId).Run();
}

std::vector<std::pair<int64_t, CCentralList>> CCentralStore::ListersOf(int64_t memberId)
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare("SELECT owner_id, list FROM lists WHERE member_id = ? ORDER BY owner_id");
    statement.Bind(1, memberId);
    std::vector<std::pair<int64_t, CCentralList>> listers;
    while (statement.Step())
        listers.emplace_back(statement.Int(0), statement.Bytes(1) == "bl" ? CCentralList::Black : CCentralList::Contact);
    return listers;
}

int64_t CCentralStore::AddUpdate(int64_t ownerId, const char* action, const CCentralAccount& member)
{
    std::lock_guard lock(m_lock);
    const int64_t timeStamp = NextTimeStamp();
    m_db->Prepare("INSERT INTO updates (account_id, time_stamp, action, member_id, email, name, translit_name,"
                  " unicode_name) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
        .Bind(1, ownerId).Bind(2, timeStamp).Bind(3, action).Bind(4, member.id).BindText(5, member.email)
        .Bind(6, member.name).Bind(7, member.translitName).Bind(8, member.unicodeName).Run();
    return timeStamp;
}

std::vector<CCentralUpdate> CCentralStore::UpdatesAfter(int64_t ownerId, int64_t timeStamp)
{
    std::lock_guard lock(m_lock);
    CSqliteStatement statement = m_db->Prepare(
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
