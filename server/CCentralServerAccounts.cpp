// The account requests: the server key (1), registration (2) and the account update (27).
// The server key pair never changes once the store is open, so its RSA needs no lock.

#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelFormat.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelServerRequests.h"
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

// A public key the server can open login blocks with: an odd modulus of at least 16
// significant bytes and a non-zero exponent below it.
bool IsUsablePublicKey(const CZelString& n, const CZelString& e)
{
    if (n.IsEmpty() || e.IsEmpty() || n.Length() > 4096 || e.Length() > 4096)
        return false;
    try {
        const LongInt2 modulus(n.Ptr(), n.Length());
        const LongInt2 exponent(e.Ptr(), e.Length());
        return modulus.GetRealSize() >= 16 && modulus.IsOdd() && !exponent.IsZero() &&
               exponent.GetRealSize() <= modulus.GetRealSize();
    } catch (const XTOOError&) {
        return false;
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
    if (!IsUsablePublicKey(account.n, account.e))
        return PlainAnswer(kRequestRegister, StatusAnswer(kErrKeyMissing));

    int64_t id = -1;
    {
        CCentralStore::Transaction transaction(m_store);
        if (m_store.FindAccountByEmail(account.email))
            return PlainAnswer(kRequestRegister, StatusAnswer(kErrEmailRegistered));
        id = m_store.AddAccount(account);
        transaction.Commit();
    }
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
    if (!refusal && found) {
        const auto holder = m_store.FindAccountByEmail(email);
        if (email.IsEmpty())
            refusal = kErrEmailMissing;
        else if (holder && holder->id != account.id)
            refusal = kErrEmailRegistered;
        else
            account.email = email;
    }
    if (refusal) {
        answer.RootElement().SetAttr(kAttrStatus, kStatusError);
        answer.RootElement().SetAttr(kAttrErrorMessage, refusal);
        return answer;
    }
    ReadOwnFields(root, account);
    m_store.UpdateAccountData(account);
    answer.RootElement().SetAttr(kAttrStatus, kStatusOk);
    answer.RootElement().AddChild(MakeUpdates(account, root.GetAttr(kAttrLastUpdatesTimeStamp)));
    return answer;
}
