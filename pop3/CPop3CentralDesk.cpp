#include "pop3/CPop3CentralDesk.h"

#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"
#include "pop3/CMailboxFolder.h"
#include "pop3/CPop3LoginExchange.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelPop3LoginTexts.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelServerRequests.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"

#include <utility>

namespace {


// The received report and the delete wait for their answer once, a minute at most: the
// session's client is waiting behind them.
CZelHttpLimits ShortRequestLimits()
{
    CZelHttpLimits limits;
    limits.readTimeoutMs = kHttpReadTimeoutMs;
    limits.maxSilentReads = 1;
    return limits;
}

CZelXmlDocument RequestDocument(const char* attribute, const CZelString& value)
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    document.RootElement().SetAttr(attribute, value);
    return document;
}

} // namespace

CPop3CentralDesk::CPop3CentralDesk(CZelServerAddress server, CProtocolListData& log)
    : m_server(std::move(server)), m_log(log), m_sessionKey(MakeSessionKey())
{
}

void CPop3CentralDesk::LogError(const CZelString& text) const
{
    m_log.AddStringEx(text, LogKind::Error);
}

CPop3Standing CPop3CentralDesk::LogIn(int64_t accountId, const CZelXmlDocument& account)
{
    m_accountId = accountId;
    return CPop3LoginExchange(m_server, m_log).Run(accountId, account, m_sessionKey);
}

std::optional<CZelXmlDocument> CPop3CentralDesk::Ask(uint32_t type, const CZelXmlDocument& document,
                                                     int writeTimeoutMs) const
{
    const CZelString sealed = Seal(m_accountId, kKeyNumSession, m_sessionKey, document.ToRequestText());
    if (sealed.IsEmpty())
        return std::nullopt;
    CZelTcpFile connection(EErrorMode::Throw);
    const CZelString body =
        CZelHttpClient(m_server, ShortRequestLimits()).Post(Frame(type, sealed), connection, writeTimeoutMs, &m_log);
    std::optional<CZelXmlDocument> answer;
    for (const CZelXmlDocument& opened : ParseSealedAnswers(body, AnswerType(type), m_sessionKey))
        answer = opened;
    return answer;
}

void CPop3CentralDesk::ReportReceived(const CZelString& messageId)
{
    if (m_accountId < 0)
        return;   // no login, no session the server would know
    try {
        Ask(kRequestReceived, RequestDocument(kAttrMessageId, messageId), kPop3ReceivedWriteTimeoutMs);
    } catch (const XTOOBaseError& error) {
        LogError(Format(kPop3LogErrorText, error.Text()));
    }
}

bool CPop3CentralDesk::RemoveMessage(int64_t number)
{
    if (m_accountId < 0)
        return false;
    const CMailboxFolder folder(m_accountId);
    const CZelString messageId = folder.ReadId(number);
    m_log.AddStringEx(Format(kPop3LogDeleting, messageId));
    std::optional<CZelXmlDocument> answer;
    try {
        answer = Ask(kRequestDeleteMessage, RequestDocument(kAttrMsgId, messageId), kPop3DeleteWriteTimeoutMs);
    } catch (const XTOOBaseError& error) {
        LogError(Format(kPop3LogErrorText, error.Text()));
    }
    if (!answer)
        return false;   // the server did not say: the message stays
    const CZelXmlNode root = answer->RootElement();
    if (root.GetAttr(kAttrStatus) == kStatusOk)
        return folder.Remove(number);
    LogError(Format(kPop3LogDeleteError, root.GetAttr(kAttrErrorMessage)));
    folder.Remove(number);
    return false;
}
