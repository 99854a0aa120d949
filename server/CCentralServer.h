#pragma once
// CCentralServer: the central server's request entry point. Handle() takes one request body
// (exactly one record) and gives the answer body: the answer record(s), or nothing at all
// when the request is malformed, does not authenticate or is of a type this server does not
// answer. No RSA or GOST work runs under the store lock: each request does a short locked read
// of what its crypto needs, the crypto unlocked, then a short transaction that checks again what
// it read and writes; the answer is sealed after the lock is gone. A write transaction is
// committed only when an answer goes out, so a refused or broken request changes nothing, and
// two requests compute at once. Handlers added with Register (test stand-ins) run whole inside
// one transaction instead.
//
// Requests, one handler each:
//   1  server key            65537 plain: `n`, `e`
//   2  registration          65538 plain: `Status` "Success" and `Id`, or the refusal
//   3  ReqTimestamp login    65539 sealed with the first key handed over: `TimeStamp`, `Updates`
//   9  PreLogin login        65545 the same with a fresh `Seed`
//   26 contact list          65562 sealed: one `Command` result per command, `Updates`
//   27 account update        65563 sealed: `Status`, `ErrorMessage`, `Updates`
//   28 administration        65564 sealed: `Status`, `ErrorMessage`, `Command` results
// Sealed requests open with whichever of the recent keys the account handed over under the
// request's key number verifies, and are answered under that key: an SMTP session, a POP3
// session and the account workers of one account never invalidate each other's keys. The
// message requests register their handlers the same way (RegisterSelfLocked).
//
// Nothing captured plays again: a login's RSA blocks are answered once, a sealed request's
// initial vector is taken once under its key, an empty sealed text (whose MAC is its initial
// vector, whatever the key) opens nothing, and each request type reads only its own kind of
// document (CCentralRequestDocuments.h).

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelDateTime.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "server/CCentralStore.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

// How far the time inside a login's RSA blocks may be from the server's clock, and how long a
// PreLogin seed stays good.
inline constexpr int64_t kLoginTimeWindowSeconds = 600;
inline constexpr int64_t kSeedLifetimeSeconds = 600;

// Where a request does its crypto with the store unlocked: opening the request (RSA of a
// registration or login, unsealing), checking a complete upload (transfer hash, recipient list,
// sender block), building a recipient's message data (sealing, transfer hash).
enum class CCentralUnlockedStep { OpenRequest, CheckUpload, BuildData };

// A sealed request that opened: who sent it, under which key, and its document.
struct CCentralSealedRequest {
    CCentralAccount account;
    uint32_t keyNumber = 0;
    CZelString key;
    CZelString initialVector;   // a sealed request opens once under its key
    int64_t claim = 0;          // this request's mark on the vector, set when first confirmed
    CZelXmlDocument document;
};

class CCentralServer {
public:
    // Answer body for a request payload; empty for no answer. May throw: the entry point
    // turns every error into "no answer" and rolls the request back.
    using Handler = std::function<CZelString(const CZelString& payload)>;
    using Log = std::function<void(const CZelString& line)>;
    // The body of a sealed request, run inside its write transaction once the request is
    // confirmed: the answer document to seal under the request's key.
    using SealedBody = std::function<CZelXmlDocument(CCentralSealedRequest& request)>;
    // Called on a request's thread as it enters an unlocked crypto step; a test seam.
    using PhaseHook = std::function<void(uint32_t type, CCentralUnlockedStep step)>;

    explicit CCentralServer(CCentralStore& store, Log log = {});

    // Never throws; see the top of this file.
    CZelString Handle(const CZelString& body);

    // Adds or replaces the handler of a request type; it runs whole inside one store
    // transaction (stand-ins in tests).
    void Register(uint32_t type, Handler handler);
    // Adds a handler that opens its own short transactions, so two such requests compute at once.
    void RegisterSelfLocked(uint32_t type, Handler handler);
    bool Handles(uint32_t type) const { return m_handlers.count(type) != 0; }

    CCentralStore& Store() { return m_store; }

    // The hook runs with no lock held, so it may block.
    void SetUnlockedPhaseHook(PhaseHook hook);
    void EnterUnlockedPhase(uint32_t type, CCentralUnlockedStep step = CCentralUnlockedStep::OpenRequest) const;

    // Pieces the handlers share.
    // The whole sealed request: opened unlocked, `body` in a short transaction after
    // ConfirmSealedRequest, the answer sealed unlocked. Empty when it does not open or went stale.
    CZelString AnswerSealed(uint32_t type, const CZelString& payload, const SealedBody& body);
    // Opens a sealed request without writing anything: the account and its recent keys under the
    // request's key number are read in a short transaction, the unsealing runs unlocked. False
    // when it does not open; `plain` is the opened text.
    bool OpenSealedPayload(uint32_t type, const CZelString& payload, CCentralSealedRequest& request, CZelString& plain);
    // The same for a request whose text is an XML document.
    bool OpenSealedRequest(uint32_t type, const CZelString& payload, CCentralSealedRequest& request);
    // For a handler added with Register, inside its one transaction: opens the request and
    // marks its key used in one go.
    bool OpenSealedRequest(const CZelString& payload, CCentralSealedRequest& request);
    // Inside the request's write transaction: the account is still there and the key that opened
    // the request is still one of its recent keys. Reads the account afresh and marks the key
    // used; false when the request went stale meanwhile (it then gets no answer).
    bool ConfirmSealedRequest(CCentralSealedRequest& request);
    // The live keys of (account, key number), read in a short transaction of their own.
    std::vector<CZelString> ReadRecentKeys(int64_t accountId, uint32_t keyNumber);
    // Opens `sealed` with the first of `keys` whose MAC verifies; `key` is that one. Runs no
    // store access, so it belongs outside the lock.
    static bool UnsealWithAnyKey(const std::vector<CZelString>& keys, const CZelString& sealed, CZelString& key,
                                 CZelString& plain);
    static CZelString SealedAnswer(uint32_t requestType, const CZelString& key, const CZelXmlDocument& answer);
    static CZelString PlainAnswer(uint32_t requestType, const CZelXmlDocument& answer);
    static CZelXmlDocument NewAnswer();
    // The `Updates` element for the account: its standing and e-mail, and the list changes
    // after `lastUpdatesTimeStamp` (a text; empty or not a number counts as 0, the largest
    // value asks for the standing only).
    CZelXmlNode MakeUpdates(const CCentralAccount& account, const CZelString& lastUpdatesTimeStamp);
    // The wall clock.
    static int64_t NowSeconds();
    // The clock the server's rules go by (login times, key and reservation lifetimes): the wall
    // clock moved by the offset, so tests can let days pass.
    int64_t Now() const { return NowMicroseconds() + m_clockOffset.load(); }
    void SetClockOffset(int64_t microseconds) { m_clockOffset = microseconds; }

private:
    CZelString ServerKeyRequest(const CZelString& payload);
    CZelString RegisterRequest(const CZelString& payload);
    CZelString LoginRequest(uint32_t type, const CZelString& payload);
    CZelString ContactListRequest(const CZelString& payload);
    CZelString AccountUpdateRequest(const CZelString& payload);
    CZelString AdministrativeRequest(const CZelString& payload);
    // Their bodies, inside the write transaction: the answer document.
    CZelXmlDocument ChangeLists(const CCentralSealedRequest& request);
    CZelXmlDocument UpdateAccount(const CCentralSealedRequest& request);
    CZelXmlDocument Administer(const CCentralSealedRequest& request);
    // One administrative command; null when done, else the refusal.
    const char* AdministrativeCommand(const CCentralAccount& caller, const CZelXmlNode& command);
    const char* ReportAbuse(const CCentralAccount& caller, const CZelString& messageId, const CZelString& report);

    CCentralStore& m_store;
    Log m_log;
    std::map<uint32_t, Handler> m_handlers;
    std::map<uint32_t, bool> m_selfLocked;
    std::atomic<int64_t> m_clockOffset{0};
    std::atomic<int64_t> m_lastClaim{0};
    mutable std::mutex m_hookMutex;
    PhaseHook m_unlockedPhaseHook;
};
