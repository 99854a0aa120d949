#include "pop3/CPop3LoginExchange.h"

#include "accounts/CAccountFile.h"
#include "accounts/CAccountUpdates.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/XTOOError.h"
#include "history/CMessageHistory.h"
#include "net/CZelTcpFile.h"
#include "pop3/CInboxQueue.h"
#include "pop3/CMailboxFolder.h"
#include "protocol/ZelMessageId.h"
#include "protocol/ZelPop3LoginTexts.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

namespace {


// A refused id as the log shows it: cut short, and without the control bytes that could fake
// further log lines.
CZelString ShownId(const CZelString& messageId)
{
    std::string shown = messageId.Left(kPop3ShownMessageIdBytes).ToStd();
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return CZelString(std::string_view(shown));
}

} // namespace

CPop3LoginExchange::CPop3LoginExchange(CZelServerAddress server, CProtocolListData& log)
    : m_server(std::move(server)), m_log(log)
{
}

CPop3Standing CPop3LoginExchange::Run(int64_t accountId, const CZelXmlDocument& account, const CZelString& sessionKey)
{
    m_accountId = accountId;
    m_account = account;
    m_sessionKey = sessionKey;
    m_standing = CPop3Standing();
    try {
        CZelTcpFile connection(EErrorMode::Throw);
        Talk(connection);
    } catch (const XTOOBaseError& error) {
        m_log.AddStringEx(Format(kPop3LogErrorText, error.Text()), LogKind::Error);
    }
    return m_standing;
}

void CPop3LoginExchange::Talk(CZelTcpFile& connection)
{
    RequestServerKey(m_server, connection, kPop3LoginWriteTimeoutMs, &m_log);
    if (!CInboxQueue(m_accountId).Reserve(m_inboxKey, m_inboxKeyNumber)) {
        m_log.AddStringEx(kPop3LogInboxKeyWriteError, LogKind::Error);
        return;
    }
    const CZelString seed = PreLogin(connection);
    const CZelXmlDocument answer = AskSeed(connection, seed);
    RecordDeliveries(answer);
    QueueListedMessages(answer);
}

CZelString CPop3LoginExchange::PreLogin(CZelTcpFile& connection)
{
    const CZelXmlNode account = m_account.RootElement();
    const CZelAccountKey key{account.GetAttr(AccountAttr::kId), account.GetAttr(AccountAttr::kN),
                             account.GetAttr(AccountAttr::kD)};
    CZelXmlDocument document = MakeLoginDocument(
        key.idText, kCommandPreLogin, {{kKeyNumSession, m_sessionKey}, {m_inboxKeyNumber, m_inboxKey}}, 0);
    // The list changes after the last ones the account stored.
    document.RootElement().SetAttr(
        kAttrLastUpdatesTimeStamp,
        account.FindChild(AccountAttr::kContactListUpdates).GetAttr(AccountAttr::kTimeStamp));

    CZelString seed;
    const CZelLoginResult result =
        LoginRequest(kRequestPreLogin, key, document, m_server, connection, kPop3LoginWriteTimeoutMs, &m_log);
    for (const CZelXmlDocument& answer : result.answers) {
        seed = answer.RootElement().GetAttr(kAttrSeed);
        const CAccountStanding standing = CAccountUpdates::Write(m_accountId, answer);
        m_standing.userLevel = standing.userLevel;
        m_standing.operatedStatus = standing.operatedStatus;
    }
    return seed;
}

CZelXmlDocument CPop3LoginExchange::AskSeed(CZelTcpFile& connection, const CZelString& seed)
{
    CZelXmlDocument request;
    request.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    request.RootElement().SetAttr(kAttrSeed, seed);
    request.RootElement().SetAttr(kAttrLastDeliveredTimeStamp, LastDeliveredTimeStamp());

    CZelXmlDocument answer;
    for (const CZelXmlDocument& opened : SealedRequest(kRequestSeed, request, m_accountId, kKeyNumSession,
                                                       m_sessionKey, m_server, connection, kPop3LoginWriteTimeoutMs,
                                                       &m_log))
        answer = opened;
    return answer;
}

CZelString CPop3LoginExchange::LastDeliveredTimeStamp() const
{
    return CMessageHistory::LastDeliveredTimeStamp(m_accountId);
}

bool CPop3LoginExchange::IsUsableId(const CZelString& messageId)
{
    if (IsSafeMessageId(messageId))
        return true;
    m_log.AddStringEx(Format(kPop3LogUnsafeMessageId, ShownId(messageId)),
                      LogKind::Error);
    return false;
}

void CPop3LoginExchange::RecordDeliveries(const CZelXmlDocument& seedAnswer)
{
    std::vector<CZelXmlNode> reports;
    const CZelXmlNode answerRoot = seedAnswer.RootElement();
    if (!answerRoot.IsNull()) {
        for (CZelXmlNode report = answerRoot.FindChild(kElementDelivered); !report.IsNull();
             report = report.NextSameName())
            if (IsUsableId(report.GetAttr(kAttrMessageId)))
                reports.push_back(report);
    }
    if (reports.empty())
        return;   // nothing reported: the history stays as it is
    for (const CZelString& line : CMessageHistory::RecordDeliveries(m_accountId, reports))
        m_log.AddStringEx(line);
}

void CPop3LoginExchange::QueueListedMessages(const CZelXmlDocument& seedAnswer)
{
    std::vector<CZelString> listed;
    const CZelXmlNode answerRoot = seedAnswer.RootElement();
    if (!answerRoot.IsNull()) {
        for (CZelXmlNode message = answerRoot.FindChild(kElementMessage); !message.IsNull();
             message = message.NextSameName()) {
            const CZelString messageId = message.GetAttr(kAttrMessageId);
            if (IsUsableId(messageId))
                listed.push_back(messageId);
        }
    }
    const std::map<CZelString, int64_t> stored = CMailboxFolder(m_accountId).IdTable();
    bool queued = false;
    for (const CZelString& messageId : CInboxQueue(m_accountId).Enqueue(listed, stored, queued))
        m_log.AddStringEx(Format(kPop3LogQueued, messageId));
    if (queued)
        CInboxQueue::DownloadEvent().Signal();
}
