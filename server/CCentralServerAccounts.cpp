// The account requests: the server key (1), registration (2) and the account update (27).
// The server key pair never changes once the store is open, so its RSA needs no lock.

#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelFormat.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelServerRequests.h"
#include "server/CCentralAccountGuards.h"
#include "server/CCentralServer.h"

namespace {

// The user's own data as the registration and update documents carry them.
struct AccountField {
    const char* attribute;
    CZelString CCentralAccount::*field;
};
constexpr AccountField kOwnFields[] = {
    {kAttrName, &CCentralAccount::name},
    {kAttrTranslitName, &CCentralAccount::translitName},
    {kAttrUnicodeName, &CCentralAccount::unicodeName},
    {kAttrBirthday, &CCentralAccount::birthday},
    {kAttrIssuedBy, &CCentralAccount::issuedBy},
    {kAttrSecureCode, &CCentralAccount::secureCode},
    {kAttrAutoReply, &CCentralAccount::autoReply},
    {kAttrAutoReplyEng, &CCentralAccount::autoReplyEng},
};

// Only attributes the document carries overwrite what is stored.
void ReadOwnFields(const CZelXmlNode& root, CCentralAccount& account)
{
    for (const AccountField& item : kOwnFields) {
        bool found = false;
        const CZelString value = root.GetAttr(item.attribute, &found);
        if (found)
            account.*item.field = value;
    }
}

// A public key the server opens login blocks with at a bounded cost: an odd modulus of
// kMinModulusBytes to kMaxModulusBytes and a non-zero exponent shorter than it.
constexpr int kMinModulusBytes = 64;
constexpr int kMaxModulusBytes = 256;

bool IsUsablePublicKey(const CZelString& n, const CZelString& e)
{
    if (n.IsEmpty() || e.IsEmpty() || n.Length() > kMaxModulusBytes || e.Length() > kMaxModulusBytes)
        return false;
    try {
        const LongInt2 modulus(n.Ptr(), n.Length());
        const LongInt2 exponent(e.Ptr(), e.Length());
        return modulus.GetRealSize() >= kMinModulusBytes && modulus.IsOdd() && !exponent.IsZero() &&
               exponent.GetRealSize() < modulus.GetRealSize();
    } catch (const XTOOError&) {
        return false;
    }
}

// The names the document carries, checked before anything of them is stored or announced.
bool HasAcceptableNames(const CZelXmlNode& root)
{
    return IsAcceptableName(root.GetAttr(kAttrName)) && IsAcceptableName(root.GetAttr(kAttrTranslitName)) &&
           IsAcceptableWideName(root.GetAttr(kAttrUnicodeName));
}

bool SameNames(const CCentralAccount& a, const CCentralAccount& b)
{
    return a.name == b.name && a.translitName == b.translitName && a.unicodeName == b.unicodeName;
}

// Every account that lists the user learns its new address or names: the old address leaves
// the list and the new entry joins it, the way the gateways merge list changes.
void AnnounceChange(CCentralStore& store, const CCentralAccount& before, const CCentralAccount& after)
{
    const bool newAddress = before.email != after.email;
    if (!newAddress && SameNames(before, after))
        return;
    for (const auto& [ownerId, list] : store.ListersOf(after.id)) {
        const bool black = list == CCentralList::Black;
        if (newAddress)
            store.AddUpdate(ownerId, black ? kActionRemoveBlack : kActionRemoveContact, before);
        store.AddUpdate(ownerId, black ? kActionAddBlack : kActionAddContact, after);
    }
}

CZelXmlDocument StatusAnswer(const char* status)
{
    CZelXmlDocument answer = CCentralServer::NewAnswer();
    answer.RootElement().SetAttr(kAttrStatus, status);
    return answer;
}

} // namespace

CZelString CCentralServer::ServerKeyRequest(const CZelString& payload)
{
    if (!payload.IsEmpty())
        return CZelString();
    CZelXmlDocument answer = NewAnswer();
    answer.RootElement().SetAttr(kAttrN, m_store.ServerKey().n);
    answer.RootElement().SetAttr(kAttrE, m_store.ServerKey().e);
    return PlainAnswer(kRequestServerKey, answer);
}

CZelString CCentralServer::RegisterRequest(const CZelString& payload)
{
    const CCentralServerKey& serverKey = m_store.ServerKey();
    EnterUnlockedPhase(kRequestRegister);
    CZelString text;
    try {
        const LongInt2 n(serverKey.n.Ptr(), serverKey.n.Length());
        const LongInt2 d(serverKey.d.Ptr(), serverKey.d.Length());
        uint32_t timeSeconds = 0;
        if (RsaBlockTransform::Invert(n, d, payload.Ptr(), payload.Length(), text, timeSeconds) < 0)
            return CZelString();
    } catch (const XTOOError&) {
        return CZelString();
    }
    CZelXmlDocument document;
    if (!document.Parse(text) || document.RootElement().IsNull())
        return CZelString();
    const CZelXmlNode root = document.RootElement();

    CCentralAccount account;
    account.email = root.GetAttr(kAttrEmail);
    account.n = root.GetAttr(kAttrN);
    account.e = root.GetAttr(kAttrE);
    ReadOwnFields(root, account);
    if (account.email.IsEmpty())
        return PlainAnswer(kRequestRegister, StatusAnswer(kErrEmailMissing));
    if (!IsAcceptableAddress(account.email))
        return PlainAnswer(kRequestRegister, StatusAnswer(kErrEmailNotAllowed));
    if (!HasAcceptableNames(root))
        return PlainAnswer(kRequestRegister, StatusAnswer(kErrNameNotAllowed));
    if (!IsUsablePublicKey(account.n, account.e))
        return PlainAnswer(kRequestRegister, StatusAnswer(kErrKeyMissing));

    const int64_t id = m_store.Atomically([&](CCentralStore::Transaction& transaction) -> int64_t {
        CCentralAccountGuards guards(m_store.Db());
        if (!guards.IsAddressFreeFor(account.email, -1))
            return -1;
        const int64_t added = m_store.AddAccount(account);
        guards.RecordAddress(account.email, added);
        transaction.Commit();
        return added;
    });
    if (id < 0)
        return PlainAnswer(kRequestRegister, StatusAnswer(kErrEmailRegistered));
    CZelXmlDocument answer = StatusAnswer(kStatusSuccess);
    answer.RootElement().SetAttr(kAttrId, Format("%D", id));
    if (m_log)
        m_log(Format("registered %S as %D (%S)", &account.email, id, &account.userLevel));
    return PlainAnswer(kRequestRegister, answer);
}

CZelString CCentralServer::AccountUpdateRequest(const CZelString& payload)
{
    return AnswerSealed(kRequestAccountUpdate, payload, [this](CCentralSealedRequest& request) {
        return UpdateAccount(request);
    });
}

CZelXmlDocument CCentralServer::UpdateAccount(const CCentralSealedRequest& request)
{
    const CZelXmlNode root = request.document.RootElement();
    CCentralAccount account = request.account;
    CZelXmlDocument answer = NewAnswer();

    const char* refusal = nullptr;
    bool found = false;
    const CZelString n = root.GetAttr(kAttrN, &found);
    if (found && n != account.n)
        refusal = kErrKeyChanged;
    const CZelString e = root.GetAttr(kAttrE, &found);
    if (found && e != account.e)
        refusal = kErrKeyChanged;
    const CZelString email = root.GetAttr(kAttrEmail, &found);
    CCentralAccountGuards guards(m_store.Db());
    if (!refusal && found) {
        if (email.IsEmpty())
            refusal = kErrEmailMissing;
        else if (!IsAcceptableAddress(email))
            refusal = kErrEmailNotAllowed;
        else if (!guards.IsAddressFreeFor(email, account.id))
            refusal = kErrEmailRegistered;
        else
            account.email = email;
    }
    if (!refusal && !HasAcceptableNames(root))
        refusal = kErrNameNotAllowed;
    if (refusal) {
        answer.RootElement().SetAttr(kAttrStatus, kStatusError);
        answer.RootElement().SetAttr(kAttrErrorMessage, refusal);
        return answer;
    }
    ReadOwnFields(root, account);
    m_store.UpdateAccountData(account);
    guards.RecordAddress(account.email, account.id);
    AnnounceChange(m_store, request.account, account);
    answer.RootElement().SetAttr(kAttrStatus, kStatusOk);
    answer.RootElement().AddChild(MakeUpdates(account, root.GetAttr(kAttrLastUpdatesTimeStamp)));
    return answer;
}
