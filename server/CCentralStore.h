#pragma once
// CCentralStore: everything the central server keeps, in one SQLite file (WAL mode, full
// synchronisation, so an answered request survives a crash of the process or the machine).
//
//   schema_version     the version of the tables below; newer versions append a migration
//   server_key         the server's RSA key pair, made on first start
//   accounts           registered users (id from 1 upward, e-mail unique in any case)
//   session_key_ring   the recent keys handed over at login, per account and key number, with
//                      when each was last handed over or opened a request
//   seeds              the PreLogin token of each account and until when it is good
//   lists              each user's contact list and black list (one row per correspondent)
//   updates            list changes waiting to be fetched, with strictly rising time stamps
//   account_addresses, code_failures, code_blocks   see CCentralAccountGuards
//   messages, message_recipients   uploaded mail and each recipient's copy, delivery and
//                      abuse report times (filled by the message requests)
//
// A request's writes run inside one Transaction, so they happen whole or not at all; the store
// is shared by the server's threads and serialises its transactions, so they stay short: no
// RSA or GOST work runs inside one.

#include "foundation/CZelString.h"
#include "server/CSqliteDb.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct CCentralAccount {
    int64_t id = -1;
    CZelString email;
    CZelString n, e;            // public key, raw bytes, least significant first
    CZelString name, translitName, unicodeName;
    CZelString birthday, issuedBy;
    CZelString secureCode;
    CZelString autoReply, autoReplyEng;
    CZelString userLevel, operatedStatus;
};

// One list change announced to an account: `action` is "+cl", "+bl", "-cl" or "-bl" for the
// correspondent whose data follow.
struct CCentralUpdate {
    int64_t timeStamp = 0;
    CZelString action;
    int64_t memberId = -1;
    CZelString email, name, translitName, unicodeName;
};

struct CCentralServerKey {
    CZelString n, d, e;
};

enum class CCentralList { None, Contact, Black };

class CCentralStore {
public:
    static constexpr int kSchemaVersion = 2;
    static constexpr int kDefaultServerKeyBytes = 128;
    // An SMTP session, a POP3 session and the account workers each hand over keys of their own,
    // often under the same number; each number keeps this many, the least recently used going
    // first, and a key unused for the lifetime goes as well.
    static constexpr int kRecentKeysPerNumber = 8;
    static constexpr int64_t kSessionKeyLifetimeMicroseconds = 30LL * 24 * 3600 * 1000000;

    // Opens or creates the database, brings its tables to the current version and makes the
    // server key when there is none (`serverKeyBytes` is the modulus size of a new key).
    // Throws XCentralStoreError when the file cannot be used or is of a newer version.
    explicit CCentralStore(const std::string& path, int serverKeyBytes = kDefaultServerKeyBytes);
    ~CCentralStore();
    CCentralStore(const CCentralStore&) = delete;
    CCentralStore& operator=(const CCentralStore&) = delete;

    // Holds the store for one request: BEGIN IMMEDIATE now, COMMIT on Commit(), ROLLBACK when
    // it ends without one (an error, a refusal).
    class Transaction {
    public:
        explicit Transaction(CCentralStore& store);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        void LeaveThread();

        CCentralStore& m_store;
        std::unique_lock<std::recursive_mutex> m_lock;
        bool m_done = false;
    };

    // Whether the calling thread is inside a Transaction now.
    bool InTransactionOnThisThread() const { return m_owner.load() == std::this_thread::get_id(); }

    int SchemaVersion();
    const CCentralServerKey& ServerKey() const { return m_serverKey; }
    // Microseconds since 1970, strictly rising across calls (and across restarts).
    int64_t NextTimeStamp();

    // Accounts.
    std::optional<CCentralAccount> FindAccount(int64_t id);
    std::optional<CCentralAccount> FindAccountByEmail(const CZelString& email);
    // Stores a new account and returns its id; the very first one is the administrator, every
    // other one starts authorized; all start "Normal".
    int64_t AddAccount(CCentralAccount& account);
    // Writes back the user's own data (names, e-mail, codes, texts); the key and standing stay.
    void UpdateAccountData(const CCentralAccount& account);
    void SetStanding(int64_t id, const CZelString& userLevel, const CZelString& operatedStatus);

    // Session keys. `now` is microseconds since 1970. Adding a key that is there already only
    // marks it used; adding drops the keys beyond the limit and the expired ones.
    void AddSessionKey(int64_t accountId, uint32_t keyNumber, const CZelString& key, int64_t now);
    // The live keys of (account, key number), the most recently used first.
    std::vector<CZelString> SessionKeys(int64_t accountId, uint32_t keyNumber, int64_t now);
    // Marks the key used: it opened a request.
    void TouchSessionKey(int64_t accountId, uint32_t keyNumber, const CZelString& key, int64_t now);
    // The most recently used live key; empty when there is none.
    CZelString SessionKey(int64_t accountId, uint32_t keyNumber);

    // PreLogin seeds.
    void SetSeed(int64_t accountId, const CZelString& seed, int64_t expiresAt);
    // The seed and its expiry; nullopt when the account has none.
    std::optional<std::pair<CZelString, int64_t>> Seed(int64_t accountId);

    // Lists: each correspondent stands on at most one of an owner's two lists.
    CCentralList ListOf(int64_t ownerId, int64_t memberId);
    void PutOnList(int64_t ownerId, int64_t memberId, CCentralList list);
    void TakeOffList(int64_t ownerId, int64_t memberId);
    // The owners that have `memberId` on one of their lists, and which list.
    std::vector<std::pair<int64_t, CCentralList>> ListersOf(int64_t memberId);

    // Announces a list change to `ownerId` about `member`; returns its time stamp.
    int64_t AddUpdate(int64_t ownerId, const char* action, const CCentralAccount& member);
    // The changes announced to the account after `timeStamp`, oldest first.
    std::vector<CCentralUpdate> UpdatesAfter(int64_t ownerId, int64_t timeStamp);

    // For the message requests and tools that need SQL of their own (within a Transaction).
    CSqliteDb& Db() { return *m_db; }

private:
    void Migrate();
    void LoadOrMakeServerKey(int serverKeyBytes);
    int64_t LatestStoredTimeStamp();
    std::optional<CCentralAccount> ReadAccount(CSqliteStatement& statement);

    std::unique_ptr<CSqliteDb> m_db;
    std::recursive_mutex m_lock;
    std::atomic<std::thread::id> m_owner{};   // the thread inside a Transaction
    int m_depth = 0;                          // its nesting, touched under m_lock only
    CCentralServerKey m_serverKey;
    int64_t m_lastTimeStamp = 0;
};
