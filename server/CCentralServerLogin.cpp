// The login requests: ReqTimestamp (3) and PreLogin (9). The RSA blocks must open with the
// account's registered key, name the account and carry a time close to the server's clock;
// anything else gets no answer at all, so a stranger learns nothing. The RSA runs outside
// the store lock; the account's key is read before and checked again before anything is written.

#include "crypto/CCryptRandom.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelNumbers.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "server/CCentralRequestGuards.h"
#include "server/CCentralServer.h"

#include <optional>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kSeedBytes = 16;

// The key numbers the gateway uses; a key under any other number would only take room.
bool IsKnownKeyNumber(int64_t number)
{
    for (uint32_t known : {kKeyNumSession, kKeyNumOutbox, kKeyNumInbox, kKeyNumContactList, kKeyNumAccountRun})
        if (number == known)
            return true;
    return false;
}

// Every `SessionKey` child: a known key number and a key of exactly 32 bytes. False when there
// is none or any one is broken.
bool ReadGrants(const CZelXmlNode& root, std::vector<CZelSessionKeyGrant>& grants)
{
    for (CZelXmlNode child = root.FindChild(kElementSessionKey); !child.IsNull(); child = child.NextSameName()) {
        int64_t number = -1;
        const CZelString key = child.GetAttr(kAttrSessionKey);
        if (!ParseDecimal(child.GetAttr(kAttrSessionKeyNum), number) || !IsKnownKeyNumber(number) ||
            key.Length() != kSessionKeySize)
            return false;
        grants.push_back({static_cast<uint32_t>(number), key});
    }
    return !grants.empty();
}

CZelString MakeSeed()
{
    unsigned char bytes[kSeedBytes];
    if (!CryptRandomFill(bytes, sizeof bytes))
        throw XTOOBareText("no random source for the seed");
    CZelString seed;
    for (unsigned char byte : bytes)
        seed += Format("%02X", byte);
    return seed;
}

} // namespace

CZelString CCentralServer::LoginRequest(uint32_t type, const CZelString& payload)
{
    if (payload.Length() <= 8)
        return CZelString();
    const auto account = m_store.FindAccount(GetInt64BE(payload.Ptr()));
    if (!account)
        return CZelString();
    int64_t namedId = -1;
    EnterUnlockedPhase(type);
    CZelString text;
    uint32_t timeSeconds = 0;
    if (!OpenLoginPayload(payload, account->n, account->e, namedId, text, timeSeconds))
        return CZelString();
    const int64_t nowSeconds = Now() / 1000000;
    if (std::llabs(nowSeconds - static_cast<int64_t>(timeSeconds)) > kLoginTimeWindowSeconds)
        return CZelString();

    CZelXmlDocument document;
    if (!document.Parse(text) || document.RootElement().IsNull())
        return CZelString();
    const CZelXmlNode root = document.RootElement();
    int64_t documentId = -1;
    const char* command = type == kRequestPreLogin ? kCommandPreLogin : kCommandReqTimestamp;
    if (!ParseDecimal(root.GetAttr(kAttrId), documentId) || documentId != account->id ||
        root.GetAttr(kAttrCommand) != command)
        return CZelString();
    std::vector<CZelSessionKeyGrant> grants;
    if (!ReadGrants(root, grants))
        return CZelString();

    // The key may have changed while the RSA ran unlocked: only the key that opened the
    // request may grant session keys, else the request is stale and gets no answer.
    const std::optional<CZelXmlDocument> answer =
        m_store.Atomically([&](CCentralStore::Transaction& transaction) -> std::optional<CZelXmlDocument> {
            const auto current = m_store.FindAccount(account->id);
            if (!current || !(current->n == account->n) || !(current->e == account->e))
                return std::nullopt;
            const int64_t now = Now();
            // The same blocks again within their time would hand the account's old keys back.
            CCentralRequestGuards guards(m_store.Db());
            if (!guards.ClaimLoginBlocks(current->id, payload.Mid(8), now,
                                         now - 2 * kLoginTimeWindowSeconds * 1000000))
                return std::nullopt;
            for (const CZelSessionKeyGrant& grant : grants)
                m_store.AddSessionKey(current->id, grant.keyNumber, grant.key, now);
            guards.ForgetDroppedKeys(current->id);
            CZelXmlDocument document = NewAnswer();
            CZelXmlNode answerRoot = document.RootElement();
            answerRoot.SetAttr(kAttrTimeStamp, Format("%D", now));
            if (type == kRequestPreLogin) {
                const CZelString seed = MakeSeed();
                m_store.SetSeed(current->id, seed, now + kSeedLifetimeSeconds * 1000000);
                answerRoot.SetAttr(kAttrSeed, seed);
            }
            answerRoot.AddChild(MakeUpdates(*current, root.GetAttr(kAttrLastUpdatesTimeStamp)));
            transaction.Commit();
            return document;
        });
    if (!answer)
        return CZelString();
    return SealedAnswer(type, grants.front().key, *answer);
}
