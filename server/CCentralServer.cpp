#include "server/CCentralServer.h"

#include "crypto/CCryptRandom.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelDateTime.h"
#include "foundation/ZelNumbers.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "server/CCentralRequestDocuments.h"
#include "server/CCentralRequestGuards.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <exception>
#include <optional>

CCentralServer::CCentralServer(CCentralStore& store, Log log) : m_store(store), m_log(std::move(log))
{
    // Claims on initial vectors outlive the process: a random start keeps a later run's
    // claims from meeting an earlier run's.
    uint64_t start = 0;
    if (!CryptRandomFill(reinterpret_cast<unsigned char*>(&start), sizeof start))
        throw XTOOBareText("no random source for the request claims");
    m_lastClaim = static_cast<int64_t>(start >> 2) + 1;
    RegisterSelfLocked(kRequestServerKey, [this](const CZelString& p) { return ServerKeyRequest(p); });
    RegisterSelfLocked(kRequestRegister, [this](const CZelString& p) { return RegisterRequest(p); });
    RegisterSelfLocked(kRequestReqTimestamp,
                       [this](const CZelString& p) { return LoginRequest(kRequestReqTimestamp, p); });
    RegisterSelfLocked(kRequestPreLogin, [this](const CZelString& p) { return LoginRequest(kRequestPreLogin, p); });
    RegisterSelfLocked(kRequestContactList, [this](const CZelString& p) { return ContactListRequest(p); });
    RegisterSelfLocked(kRequestAccountUpdate, [this](const CZelString& p) { return AccountUpdateRequest(p); });
    RegisterSelfLocked(kRequestAdministrative, [this](const CZelString& p) { return AdministrativeRequest(p); });
}

void CCentralServer::Register(uint32_t type, Handler handler)
{
    m_handlers[type] = std::move(handler);
    m_selfLocked.erase(type);
}

void CCentralServer::RegisterSelfLocked(uint32_t type, Handler handler)
{
    m_handlers[type] = std::move(handler);
    m_selfLocked[type] = true;
}

CZelString CCentralServer::Handle(const CZelString& body)
{
    CZelRecord record;
    try {
        if (!ParseRequestRecord(body, record))
            return CZelString();
        const auto handler = m_handlers.find(record.type);
        if (handler == m_handlers.end())
            return CZelString();
        if (m_selfLocked.count(record.type) != 0)
            return handler->second(record.payload);
        return m_store.Atomically([&](CCentralStore::Transaction& transaction) {
            CZelString answer = handler->second(record.payload);
            if (!answer.IsEmpty())
                transaction.Commit();
            return answer;
        });
    } catch (const std::exception& error) {
        if (m_log)
            m_log(Format("request %u failed: %s", record.type, error.what()));
    } catch (...) {
        if (m_log)
            m_log(Format("request %u failed", record.type));
    }
    return CZelString();
}

void CCentralServer::SetUnlockedPhaseHook(PhaseHook hook)
{
    std::lock_guard hold(m_hookMutex);
    m_unlockedPhaseHook = std::move(hook);
}

void CCentralServer::EnterUnlockedPhase(uint32_t type, CCentralUnlockedStep step) const
{
    assert(!m_store.InTransactionOnThisThread());
    PhaseHook hook;
    {
        std::lock_guard hold(m_hookMutex);
        hook = m_unlockedPhaseHook;
    }
    if (hook)
        hook(type, step);
}

CZelString CCentralServer::AnswerSealed(uint32_t type, const CZelString& payload, const SealedBody& body)
{
    CCentralSealedRequest request;
    if (!OpenSealedRequest(type, payload, request))
        return CZelString();
    const std::optional<CZelXmlDocument> answer =
        m_store.Atomically([&](CCentralStore::Transaction& transaction) -> std::optional<CZelXmlDocument> {
            if (!ConfirmSealedRequest(request))
                return std::nullopt;
            CZelXmlDocument document = body(request);
            transaction.Commit();
            return document;
        });
    return answer ? SealedAnswer(type, request.key, *answer) : CZelString();
}

bool CCentralServer::OpenSealedPayload(uint32_t type, const CZelString& payload, CCentralSealedRequest& request,
                                       CZelString& plain)
{
    int64_t accountId = -1;
    CZelString sealed;
    if (!SplitSealedRequest(payload, accountId, request.keyNumber, sealed))
        return false;
    std::vector<CZelString> keys;
    const bool known = m_store.Atomically([&](CCentralStore::Transaction&) {
        auto account = m_store.FindAccount(accountId);
        if (!account)
            return false;
        request.account = std::move(*account);
        keys = m_store.SessionKeys(accountId, request.keyNumber, Now());
        return true;
    });
    if (!known)
        return false;
    EnterUnlockedPhase(type);
    request.initialVector = sealed.Left(kSealedAnswerHeadSize / 2);
    // An empty text's MAC is its initial vector: it would open under any key.
    return UnsealWithAnyKey(keys, sealed, request.key, plain) && !plain.IsEmpty();
}

bool CCentralServer::OpenSealedRequest(uint32_t type, const CZelString& payload, CCentralSealedRequest& request)
{
    CZelString plain;
    return OpenSealedPayload(type, payload, request, plain) && request.document.Parse(plain) &&
           !request.document.RootElement().IsNull() && IsDocumentOfType(type, request.document.RootElement());
}

bool CCentralServer::OpenSealedRequest(const CZelString& payload, CCentralSealedRequest& request)
{
    int64_t accountId = -1;
    CZelString sealed, plain;
    if (!SplitSealedRequest(payload, accountId, request.keyNumber, sealed))
        return false;
    const auto account = m_store.FindAccount(accountId);
    if (!account || !UnsealWithAnyKey(m_store.SessionKeys(accountId, request.keyNumber, Now()), sealed,
                                      request.key, plain) || plain.IsEmpty())
        return false;
    request.initialVector = sealed.Left(kSealedAnswerHeadSize / 2);
    request.account = *account;
    return request.document.Parse(plain) && !request.document.RootElement().IsNull() && ConfirmSealedRequest(request);
}

bool CCentralServer::ConfirmSealedRequest(CCentralSealedRequest& request)
{
    auto account = m_store.FindAccount(request.account.id);
    if (!account)
        return false;
    const int64_t now = Now();
    const std::vector<CZelString> keys = m_store.SessionKeys(account->id, request.keyNumber, now);
    if (std::find(keys.begin(), keys.end(), request.key) == keys.end())
        return false;
    // The first transaction of the request claims its vector; a later one of the same request
    // (a transfer's next step, a retry after a rollback) finds its own claim.
    if (request.claim == 0)
        request.claim = ++m_lastClaim;
    if (!CCentralRequestGuards(m_store.Db())
             .ClaimInitialVector(account->id, request.keyNumber, request.key, request.initialVector, request.claim))
        return false;
    m_store.TouchSessionKey(account->id, request.keyNumber, request.key, now);
    request.account = std::move(*account);
    return true;
}

std::vector<CZelString> CCentralServer::ReadRecentKeys(int64_t accountId, uint32_t keyNumber)
{
    return m_store.Atomically(
        [&](CCentralStore::Transaction&) { return m_store.SessionKeys(accountId, keyNumber, Now()); });
}

bool CCentralServer::UnsealWithAnyKey(const std::vector<CZelString>& keys, const CZelString& sealed, CZelString& key,
                                      CZelString& plain)
{
    for (const CZelString& candidate : keys) {
        // The 64-bit MAC tells the right key from the others.
        if (candidate.Length() == kSessionKeySize && Unseal(candidate, sealed, plain)) {
            key = candidate;
            return true;
        }
    }
    return false;
}

CZelXmlDocument CCentralServer::NewAnswer()
{
    CZelXmlDocument answer;
    answer.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    return answer;
}

CZelString CCentralServer::SealedAnswer(uint32_t requestType, const CZelString& key, const CZelXmlDocument& answer)
{
    return Frame(AnswerType(requestType), SealAnswer(key, answer.ToRequestText()));
}

CZelString CCentralServer::PlainAnswer(uint32_t requestType, const CZelXmlDocument& answer)
{
    return Frame(AnswerType(requestType), answer.ToRequestText());
}

CZelXmlNode CCentralServer::MakeUpdates(const CCentralAccount& account, const CZelString& lastUpdatesTimeStamp)
{
    int64_t after = 0;
    if (!ParseDecimal(lastUpdatesTimeStamp, after))
        after = 0;
    CZelXmlElement updates(kElementUpdates);
    updates.SetAttr(kAttrUserLevel, account.userLevel);
    updates.SetAttr(kAttrOperatedStatus, account.operatedStatus);
    updates.SetAttr(kAttrEmail, account.email);
    int64_t latest = 0;
    for (const CCentralUpdate& update : m_store.UpdatesAfter(account.id, after)) {
        CZelXmlElement user(kElementUser);
        user.SetAttr(kAttrId, Format("%D", update.memberId));
        user.SetAttr(kAttrList, update.action);
        user.SetAttr(kAttrTimeStamp, Format("%D", update.timeStamp));
        user.SetAttr(kAttrEmail, update.email);
        user.SetAttr(kAttrName, update.name);
        user.SetAttr(kAttrTranslitName, update.translitName);
        user.SetAttr(kAttrUnicodeName, update.unicodeName);
        updates.AddChild(user);
        latest = update.timeStamp;
    }
    // Only a time stamp that covers what was sent: the client asks from it next time.
    if (latest > 0)
        updates.SetAttr(kAttrTimeStamp, Format("%D", latest));
    return updates;
}

int64_t CCentralServer::NowSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}
