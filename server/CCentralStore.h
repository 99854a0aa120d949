#pragma once
// CCentralStore: everything the central server keeps, in one database: an SQLite file (WAL
// mode, full synchronisation) for one machine, or a PostgreSQL database that several instances
// on several hosts share. Nothing a request needs lives in an instance's memory, so any request
// may land on any instance.
//
//   schema_version     the version of the tables below (CCentralSchema.h holds the steps)
//   server_key         the server's RSA key pair, made once per deployment
//   accounts           registered users (id from 1 upward, e-mail unique in any case)
//   session_key_ring   the recent keys handed over at login, per account and key number, with
//                      when each was last handed over or opened a request
//   seeds              the PreLogin token of each account and until when it is good
//   lists              each user's contact list and black list (one row per correspondent)
//   updates            list changes waiting to be fetched, with strictly rising time stamps
//   account_addresses, code_failures, code_blocks   see CCentralAccountGuards
//   login_blocks, sealed_vectors                    see CCentralRequestGuards
//   messages, message_recipients, message_uploads, message_upload_blocks, message_copies
//                      see CCentralMessageStore
//
// A request's writes run inside one Transaction, so they happen whole or not at all, and each
// transaction sees the database as if it ran alone: SQLite runs them one after the other,
// PostgreSQL at SERIALIZABLE, where one that lost a race is run again (Atomically). They stay
// short: no RSA or GOST work runs inside one.

#include "foundation/CZelString.h"
#include "server/CStoreDb.h"

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
    static constexpr int kSchemaVersion = 3;
    static constexpr int kDefaultServerKeyBytes = 128;
    // An SMTP session, a POP3 session and the account workers each hand over keys of their own,
    // often under the same number; each number keeps this many, the least recently used going
    // first, and a key unused for the lifetime goes as well.
    static constexpr int kRecentKeysPerNumber = 8;
    static constexpr int64_t kSessionKeyLifetimeMicroseconds = 30LL * 24 * 3600 * 1000000;
    // How often a transaction that lost a race is started again before the request fails. Two
    // instances under 20 busy clients lose about one race per request, and now and then one
    // request loses a dozen in a row: the limit only stops a request that never gets through.
    static constexpr int kTransactionAttempts = 40;

    // Opens the database `location` names: a PostgreSQL URI ("postgresql://..."), else an SQLite
    // file, created when missing. Brings its tables to the current version and makes the server
    // key when there is none (`serverKeyBytes` is the modulus size of a new key); instances
    // opening one PostgreSQL database at once take turns at this. Throws XCentralStoreError when
    // the database cannot be used or is of a newer version.
    explicit CCentralStore(const std::string& location, int serverKeyBytes = kDefaultServerKeyBytes);
    ~CCentralStore();
    CCentralStore(const CCentralStore&) = delete;
    CCentralStore& operator=(const CCentralStore&) = delete;

    CStoreEngine Engine() const;

    // This thread's connection for the calls in its scope: taken on the first hold of a thread
    // and given back with it (SQLite: the one connection, held by one thread at a time;
    // PostgreSQL: one of a pool).
    class Hold {
    public:
        explicit Hold(CCentralStore& store);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        CStoreDb& Db() const { return *m_db; }
        CCentralStore& Store() const { return m_store; }

    private:
        CCentralStore& m_store;
        CStoreDb* m_db = nullptr;
    };

    // Holds the store for one request's writes: BEGIN now, COMMIT on Commit(), ROLLBACK when it
    // ends without one (an error, a refusal). A transaction inside another is refused.
    class Transaction {
    public:
        explicit Transaction(CCentralStore& store);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        Hold m_hold;
        bool m_done = false;
    };

    // Runs body(transaction) and returns what it returns; the body commits or not. When the
    // transaction lost a race with another (PostgreSQL), everything it did is gone and the body
    // runs again from the start, so it must set what it computes afresh each time.
    template <class Body>
    auto Atomically(Body&& body) -> decltype(body(std::declval<Transaction&>()))
    {
        for (int attempt = 1;; ++attempt) {
            try {
                Transaction transaction(*this);
                return body(transaction);
            } catch (const XCentralStoreConflict&) {
                if (attempt >= kTransactionAttempts)
                    throw;
                PauseBeforeAttempt(attempt);
            }
        }
    }

    // Whether the calling thread is inside a Transaction now.
    bool InTransactionOnThisThread() const;
    // The connection of the calling thread's Hold or Transaction; throws when it has none.
    CStoreDb& Db();

    int SchemaVersion();
    const CCentralServerKey& ServerKey() const { return m_serverKey; }
    // Microseconds since 1970, strictly rising across calls, restarts and instances, in the
    // order the transactions that took them commit: for what clients read "after" a time stamp.
    // Inside a Transaction.
    int64_t NextTimeStamp();
    // Microseconds since 1970, never handed out twice, without that order: for message ids.
    int64_t UniqueTimeStamp();

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

private:
    struct Pool;
    void OpenSqlite(const std::string& path);
    void OpenPostgres(const std::string& connection, int serverKeyBytes);
    void LoadOrMakeServerKey(int serverKeyBytes);
    int64_t LatestStoredTimeStamp();
    std::optional<CCentralAccount> ReadAccount(CStoreStatement& statement);
    static void PauseBeforeAttempt(int attempt);
    // The calling thread's connection taken, or given back.
    CStoreDb* TakeConnection();
    void GiveBackConnection(CStoreDb* db);

    std::string m_location;
    std::unique_ptr<CStoreDb> m_sqlite;        // SQLite: the one connection
    std::mutex m_sqliteLock;                   // held by the thread that holds it
    std::unique_ptr<Pool> m_pool;              // PostgreSQL: the idle connections
    CCentralServerKey m_serverKey;
    std::mutex m_clockLock;
    int64_t m_lastTimeStamp = 0;               // SQLite's clock; PostgreSQL keeps it in the database
};
