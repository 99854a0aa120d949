#pragma once
// CCentralServer: the central server's request entry point. Handle() takes one request body
// (exactly one record) and gives the answer body: the answer record(s), or nothing at all
// when the request is malformed, does not authenticate or is of a type this server does not
// answer. Every request runs in one store transaction that is committed only when an answer
// goes out, so a refused or broken request changes nothing. Handlers registered with
// RegisterSelfLocked keep their RSA and GOST work outside the store lock instead: a short
// locked read, the crypto unlocked, then a short locked re-check and write.
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
// session and the account workers of one account never invalidate each other's keys. The message requests register their handlers the same
// way (Register).

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "server/CCentralStore.h"

#include <cstdint>
#include <functional>
#include <map>

// How far the time inside a login's RSA blocks may be from the server's clock, and how long a
// PreLogin seed stays good.
inline constexpr int64_t kLoginTimeWindowSeconds = 600;
inline constexpr int64_t kSeedLifetimeSeconds = 600;

// A sealed request that opened: who sent it, under which key, and its document.
struct CCentralSealedRequest {
    CCentralAccount account;
    uint32_t keyNumber = 0;
    CZelString key;
    CZelXmlDocument document;
};

class CCentralServer {
public:
    // Answer body for a request payload; empty for no answer. May throw: the entry point
    // turns every error into "no answer" and rolls the request back.
    using Handler = std::function<CZelString(const CZelString& payload)>;
    using Log = std::function<void(const CZelString& line)>;

    explicit CCentralServer(CCentralStore& store, Log log = {});

    // Never throws; see the top of this file.
    CZelString Handle(const CZelString& body);

    // Adds or replaces the handler of a request type.
    void Register(uint32_t type, Handler handler);
    // Adds a handler that opens its own short transactions, so two such requests compute at once.
    void RegisterSelfLocked(uint32_t type, Handler handler);
    bool Handles(uint32_t type) const { return m_handlers.count(type) != 0; }

    CCentralStore& Store() { return m_store; }

    // Pieces the handlers share.
    bool OpenSealedRequest(const CZelString& payload, CCentralSealedRequest& request);
    // Opens `sealed` with the recent key of (account, key number) that verifies, newest first,
    // and marks that key used; `key` is the one that opened it. False when none does.
    bool UnsealWithRecentKey(int64_t accountId, uint32_t keyNumber, const CZelString& sealed, CZelString& key,
                             CZelString& plain);
    static CZelString SealedAnswer(uint32_t requestType, const CZelString& key, const CZelXmlDocument& answer);
    static CZelString PlainAnswer(uint32_t requestType, const CZelXmlDocument& answer);
    static CZelXmlDocument NewAnswer();
    // The `Updates` element for the account: its standing and e-mail, and the list changes
    // after `lastUpdatesTimeStamp` (a text; empty or not a number counts as 0, the largest
    // value asks for the standing only).
    CZelXmlNode MakeUpdates(const CCentralAccount& account, const CZelString& lastUpdatesTimeStamp);
    static int64_t NowSeconds();
    static int64_t NowMicroseconds();

private:
    CZelString ServerKeyRequest(const CZelString& payload);
    CZelString RegisterRequest(const CZelString& payload);
    CZelString LoginRequest(uint32_t type, const CZelString& payload);
    CZelString ContactListRequest(const CZelString& payload);
    CZelString AccountUpdateRequest(const CZelString& payload);
    CZelString AdministrativeRequest(const CZelString& payload);
    // One administrative command; null when done, else the refusal.
    const char* AdministrativeCommand(const CCentralAccount& caller, const CZelXmlNode& command);
    const char* ReportAbuse(const CCentralAccount& caller, const CZelString& messageId, const CZelString& report);

    CCentralStore& m_store;
    Log m_log;
    std::map<uint32_t, Handler> m_handlers;
    std::map<uint32_t, bool> m_selfLocked;
};
