#include "protocol/ZelServerRequests.h"

#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelNumbers.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr char kTransformFailed[] = "point 2(ret)\n";

bool ParseDocument(const CZelString& text, CZelXmlDocument& document)
{
    CZelXmlDocument parsed;
    if (!parsed.Parse(text))
        return false;
    document = parsed;
    return true;
}

uint32_t CurrentTimeSeconds()
{
    return static_cast<uint32_t>(std::time(nullptr));
}

} // namespace

void ProtocolDebugOutput(const CZelString& text)
{
    std::fwrite(text.Ptr(), 1, static_cast<size_t>(text.Length()), stderr);
    std::fflush(stderr);
}

int64_t CZelAccountKey::Id() const
{
    int64_t id = -1;
    return ParseDecimal(idText, id) ? id : -1;
}

CZelServerKey RequestServerKey(const CZelServerAddress& address, CZelTcpFile& connection, int writeTimeoutMs,
                               IZelLogSink* log)
{
    CZelServerKey key;
    const CZelString body = HttpPost(Frame(kRequestServerKey, CZelString()), address, connection, writeTimeoutMs, log);
    for (const CZelRecord& record : SplitRecords(body)) {
        CZelXmlDocument document;
        if (record.type != AnswerType(kRequestServerKey) || !ParseDocument(record.payload, document))
            continue;
        const CZelXmlNode root = document.RootElement();
        key.n = root.GetAttr(kAttrN);
        key.e = root.GetAttr(kAttrE);
        break;
    }
    return key;
}

CZelXmlDocument MakeLoginDocument(const CZelString& idText, const char* command,
                                  const std::vector<CZelSessionKeyGrant>& keys, int64_t lastUpdatesTimeStamp)
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kAttrId, idText);
    root.SetAttr(kAttrCommand, command);
    for (const CZelSessionKeyGrant& grant : keys) {
        CZelXmlElement element(kElementSessionKey);
        element.SetAttr(kAttrSessionKeyNum, Format("%u", grant.keyNumber));
        element.SetAttr(kAttrSessionKey, grant.key);
        root.AddChild(element);
    }
    root.SetAttr(kAttrLastUpdatesTimeStamp, Format("%D", lastUpdatesTimeStamp));
    return document;
}

CZelString FirstSessionKey(const CZelXmlDocument& document)
{
    return document.RootElement().FindChild(kElementSessionKey).GetAttr(kAttrSessionKey);
}

CZelString MakeLoginPayload(const CZelAccountKey& account, const CZelXmlDocument& document, uint32_t timeSeconds)
{
    if (account.n.IsEmpty() || account.d.IsEmpty())
        return CZelString();
    const CZelString text = document.ToRequestText();
    CZelString blocks;
    try {
        const LongInt2 n(account.n.Ptr(), account.n.Length());
        const LongInt2 d(account.d.Ptr(), account.d.Length());
        if (RsaBlockTransform::Apply(n, d, text.Ptr(), text.Length(), timeSeconds, blocks) <= 0)
            return CZelString();
    } catch (const XTOOError&) {
        return CZelString();    // the arithmetic refused the key
    }
    return Int64BE(account.Id()) + blocks;
}

bool OpenLoginPayload(const CZelString& payload, const CZelString& n, const CZelString& e, int64_t& accountId,
                      CZelString& text, uint32_t& timeSeconds)
{
    if (payload.Length() <= 8 || n.IsEmpty() || e.IsEmpty())
        return false;
    const CZelString blocks = payload.Mid(8);
    try {
        const LongInt2 modulus(n.Ptr(), n.Length());
        const LongInt2 exponent(e.Ptr(), e.Length());
        CZelString opened;
        if (RsaBlockTransform::Invert(modulus, exponent, blocks.Ptr(), blocks.Length(), opened, timeSeconds) < 0)
            return false;
        text = opened;
    } catch (const XTOOError&) {
        return false;
    }
    accountId = GetInt64BE(payload.Ptr());
    return true;
}

std::vector<CZelString> OpenSealedAnswers(const CZelString& body, uint32_t answerType, const CZelString& key)
{
    std::vector<CZelString> opened;
    for (const CZelRecord& record : SplitRecords(body)) {
        CZelString plain;
        if (record.type == answerType && Unseal(key, record.payload, plain))
            opened.push_back(plain);
    }
    return opened;
}

std::vector<CZelXmlDocument> ParseSealedAnswers(const CZelString& body, uint32_t answerType, const CZelString& key)
{
    std::vector<CZelXmlDocument> documents;
    for (const CZelString& plain : OpenSealedAnswers(body, answerType, key)) {
        CZelXmlDocument document;
        if (ParseDocument(plain, document))
            documents.push_back(document);
    }
    return documents;
}

CZelLoginResult LoginRequest(uint32_t type, const CZelAccountKey& account, const CZelXmlDocument& document,
                             const CZelServerAddress& address, CZelTcpFile& connection, int writeTimeoutMs,
                             IZelLogSink* log)
{
    CZelLoginResult result;
    const CZelString payload = MakeLoginPayload(account, document, CurrentTimeSeconds());
    if (payload.IsEmpty()) {
        ProtocolDebugOutput(kTransformFailed);
        return result;
    }
    result.sent = true;
    const CZelString body = HttpPost(Frame(type, payload), address, connection, writeTimeoutMs, log);
    result.answers = ParseSealedAnswers(body, AnswerType(type), FirstSessionKey(document));
    return result;
}

std::vector<CZelString> SealedRequestRaw(uint32_t type, const CZelString& plain, int64_t accountId,
                                         uint32_t keyNumber, const CZelString& key, const CZelServerAddress& address,
                                         CZelTcpFile& connection, int writeTimeoutMs, IZelLogSink* log)
{
    const CZelString sealed = Seal(accountId, keyNumber, key, plain);
    if (sealed.IsEmpty())
        return {};      // no 32-byte key: nothing the server could open
    const CZelString body = HttpPost(Frame(type, sealed), address, connection, writeTimeoutMs, log);
    return OpenSealedAnswers(body, AnswerType(type), key);
}

std::vector<CZelXmlDocument> SealedRequest(uint32_t type, const CZelXmlDocument& document, int64_t accountId,
                                           uint32_t keyNumber, const CZelString& key, const CZelServerAddress& address,
                                           CZelTcpFile& connection, int writeTimeoutMs, IZelLogSink* log)
{
    std::vector<CZelXmlDocument> documents;
    for (const CZelString& plain :
         SealedRequestRaw(type, document.ToRequestText(), accountId, keyNumber, key, address, connection,
                          writeTimeoutMs, log)) {
        CZelXmlDocument answer;
        if (ParseDocument(plain, answer))
            documents.push_back(answer);
    }
    return documents;
}
