#include "smtp/CSmtpCentralDesk.h"

#include "accounts/CAccountFile.h"
#include "accounts/CAccountUpdates.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelTcpFile.h"
#include "protocol/CSessionKeyFile.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "protocol/ZelSmtpTexts.h"
#include "smtp/SmtpRecipientChecks.h"

#include <ctime>
#include <utility>

namespace {

// A refused message id is shown, cut to this many bytes.
constexpr int32_t kShownMessageIdBytes = 80;
constexpr char kLocked[] = "1";
constexpr char kUnlocked[] = "0";

CZelXmlDocument NewKeyDocument()
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    return document;
}

} // namespace

CSmtpCentralDesk::CSmtpCentralDesk(CZelServerAddress server, CProtocolListData& log)
    : m_server(std::move(server)), m_log(log)
{
}

CSmtpCentralDesk::~CSmtpCentralDesk() = default;

void CSmtpCentralDesk::LogError(const CZelString& text)
{
    m_log.AddStringEx(text, LogKind::Error);
}

ESmtpHandshake CSmtpCentralDesk::Handshake(int64_t accountId, const CZelString& login, const CZelString& password,
                                           CZelString& operatedStatus)
{
    operatedStatus = CZelString();
    m_accountId = accountId;
    m_sessionKey = MakeSessionKey();
    m_connection = std::make_unique<CZelTcpFile>(EErrorMode::Throw);

    bool loaded = false;
    {
        CZelLockGuard hold(ZelDataLock(), "CSmtpCentralDesk::Handshake()", __LINE__);
        loaded = CAccountFile::Load(CAccountFile::FileNameFor(accountId), m_account);
    }
    if (!loaded) {
        LogError(kSmtpLogAccountUnreadable);
        return ESmtpHandshake::EndSession;
    }
    const CZelXmlNode root = m_account.RootElement();
    if (!(root.GetAttr(AccountAttr::kLogin) == login) || !(root.GetAttr(AccountAttr::kPassword) == password))
        return ESmtpHandshake::BadCredentials;
    m_senderId = CAccountFile::ParseId(root.GetAttr(AccountAttr::kId));

    try {
        return TalkToServer(operatedStatus);
    } catch (const XTOOBaseError& error) {
        LogError(Format(kSmtpLogErrorText, error.Text()));
        return ESmtpHandshake::EndSession;
    }
}

ESmtpHandshake CSmtpCentralDesk::TalkToServer(CZelString& operatedStatus)
{
    // The server's own key is asked for as every client does; the session needs none of it.
    RequestServerKey(m_server, *m_connection, kSmtpServerKeyWriteTimeoutMs, &m_log);
    if (!ReserveOutboxKey())
        return ESmtpHandshake::EndSession;
    return LogIn(operatedStatus);
}

bool CSmtpCentralDesk::ReserveOutboxKey()
{
    CZelLockGuard hold(ZelDataLock(), "CSmtpCentralDesk::ReserveOutboxKey()", __LINE__);
    const CZelString path = CSessionKeyFile::OutboxPath(m_accountId);
    CZelXmlDocument document = NewKeyDocument();
    const bool usable = CSessionKeyFile::Load(path, document) && CSessionKeyFile::IsValid(document);
    if (!usable)
        CSessionKeyFile::Renew(document, kKeyNumOutbox);
    document.RootElement().SetAttr(CSessionKeyFile::kSessionKeyLock, kLocked);
    if (!CSessionKeyFile::Save(path, document)) {
        if (!usable)
            CZelFile::DeleteFile(path);   // a key the file does not keep must never reach the server
        LogError(kSmtpLogOutboxKeyWriteError);
        return false;
    }
    m_outboxKey.key = CSessionKeyFile::Key(document);
    m_outboxKey.keyNumber = static_cast<uint32_t>(CSessionKeyFile::KeyNumber(document));
    m_reserved = true;
    return true;
}

ESmtpHandshake CSmtpCentralDesk::LogIn(CZelString& operatedStatus)
{
    const CZelXmlNode account = m_account.RootElement();
    const CZelAccountKey key{account.GetAttr(AccountAttr::kId), account.GetAttr(AccountAttr::kN),
                             account.GetAttr(AccountAttr::kD)};
    CZelXmlDocument document = MakeLoginDocument(
        key.idText, kCommandReqTimestamp,
        {{kKeyNumSession, m_sessionKey}, {m_outboxKey.keyNumber, m_outboxKey.key}}, 0);
    // The list changes the account has not seen yet: those after the last ones it stored.
    document.RootElement().SetAttr(
        kAttrLastUpdatesTimeStamp,
        account.FindChild(AccountAttr::kContactListUpdates).GetAttr(AccountAttr::kTimeStamp));

    const CZelString payload = MakeLoginPayload(key, document, static_cast<uint32_t>(std::time(nullptr)));
    if (payload.IsEmpty()) {
        LogError(kSmtpLogLoginTransformFailed);
        return ESmtpHandshake::EndSession;
    }
    const CZelString body = HttpPost(Frame(kRequestReqTimestamp, payload), m_server, *m_connection,
                                     kSmtpRequestWriteTimeoutMs, &m_log);
    for (const CZelString& plain : OpenSealedAnswers(body, AnswerType(kRequestReqTimestamp), m_sessionKey)) {
        CZelXmlDocument answer;
        if (!answer.Parse(plain)) {
            LogError(kSmtpLogTimestampUnparsed);
            continue;
        }
        m_serverTimeStamp = answer.RootElement().GetAttr(kAttrTimeStamp);
        operatedStatus = CAccountUpdates::Write(m_accountId, answer).operatedStatus;
    }
    return ESmtpHandshake::Done;
}

CSmtpLookup CSmtpCentralDesk::LookupRecipient(const CZelString& address)
{
    if (!m_connection || m_sessionKey.IsEmpty()) {
        CSmtpLookup lookup;
        lookup.recipient.address = address;
        return lookup;   // no handshake: nothing the server could answer
    }
    try {
        return AskForMessageId(address);
    } catch (const XTOOBaseError& error) {
        LogError(Format(kSmtpLogErrorText, error.Text()));
        CSmtpLookup lookup;
        lookup.kind = CSmtpLookup::Kind::EndSession;
        return lookup;
    }
}

CSmtpLookup CSmtpCentralDesk::AskForMessageId(const CZelString& address)
{
    CZelXmlDocument request = NewKeyDocument();
    CZelXmlNode root = request.RootElement();
    root.SetAttr(kAttrCommand, kCommandReqMsgId);
    root.SetAttr(kAttrTimeStamp, m_serverTimeStamp);
    root.SetAttr(kAttrRcpt, address);

    CSmtpLookup lookup;
    lookup.recipient.address = address;
    for (const CZelString& plain :
         SealedRequestRaw(kRequestReqMsgId, request.ToRequestText(), m_senderId, kKeyNumSession, m_sessionKey,
                          m_server, *m_connection, kSmtpRequestWriteTimeoutMs, &m_log)) {
        CZelXmlDocument answer;
        if (!answer.Parse(plain)) {
            LogError(kSmtpLogMsgIdUnparsed);
            lookup.kind = CSmtpLookup::Kind::EndSession;
            return lookup;
        }
        lookup = ReadLookupAnswer(answer, address);
    }

    const CSmtpRecipient& recipient = lookup.recipient;
    if (lookup.kind == CSmtpLookup::Kind::EndSession)
        LogError(Format(kSmtpLogUnusableRecipientKey, address, recipient.msgId, recipient.n.Length()));
    else if (!recipient.msgId.IsEmpty() && !IsUsableMessageId(recipient.msgId))
        LogError(Format(kSmtpLogBadMessageId, recipient.msgId.Left(kShownMessageIdBytes)));
    return lookup;
}

ESmtpQueue CSmtpCentralDesk::QueueMessage(const CSmtpRecipients& recipients, std::string& message)
{
    if (!m_reserved)
        return ESmtpQueue::Failed;
    return QueueOutboxMessage(m_account, m_accountId, m_outboxKey, recipients, message, &m_log);
}

void CSmtpCentralDesk::ReleaseOutboxKey()
{
    if (!m_reserved)
        return;
    m_reserved = false;
    CZelLockGuard hold(ZelDataLock(), "CSmtpCentralDesk::ReleaseOutboxKey()", __LINE__);
    const CZelString path = CSessionKeyFile::OutboxPath(m_accountId);
    CZelXmlDocument document = NewKeyDocument();
    if (!CSessionKeyFile::Load(path, document))
        return;
    if (CSessionKeyFile::UseCount(document) > 0) {
        document.RootElement().SetAttr(CSessionKeyFile::kSessionKeyLock, kUnlocked);
        if (!CSessionKeyFile::Save(path, document))
            LogError(kSmtpLogOutboxKeyUnlockError);
        return;
    }
    // No queued file uses the key: the next session makes a new one.
    CZelFile::DeleteFile(path);
}
