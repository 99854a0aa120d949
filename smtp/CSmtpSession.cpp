#include "smtp/CSmtpSession.h"

#include "core/CProtocolListData.h"
#include "crypto/CCryptRandom.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelBase64.h"
#include "protocol/ZelLocalTlsTexts.h"
#include "protocol/ZelSmtpTexts.h"
#include "net/ILineChannel.h"
#include "net/LineWords.h"
#include "smtp/ISmtpMailDesk.h"

#include <algorithm>
#include <chrono>

// The commands answered wherever the session waits for its next command, without a change
// of stage.
struct CSmtpSession::CCommand {
    const char* word;
    const char* reply;
};

namespace {

constexpr CSmtpSession::CCommand kCommonCommands[] = {
    {kSmtpCmdNoop, kSmtpReplyOk},           {kSmtpCmdHelp, kSmtpReplyOk},
    {kSmtpCmdRset, kSmtpReplyOk},           {kSmtpCmdExpn, kSmtpReplyNotImplemented},
    {kSmtpCmdVrfy, kSmtpReplyNotImplemented},
};

// The first words of every command the session knows. Before the login, a line that starts
// with none of them may be anything the client was given to send, a password included.
constexpr const char* kKnownWords[] = {
    kSmtpCmdEhlo, kSmtpCmdHelo, kSmtpCmdNoop, kSmtpCmdHelp, kSmtpCmdRset, kSmtpCmdExpn, kSmtpCmdVrfy,
    kSmtpCmdQuit, kSmtpCmdData, kSmtpCmdAuth, kSmtpCmdStartTls, kSmtpCmdMail, kSmtpCmdRcpt,
};

// "AUTH" and its mechanism stay readable; an initial response never does.
constexpr int kAuthWordsShown = 2;


CZelString FirstWord(const CZelString& text, bool skipLeading)
{
    return SplitFirstWord(text, skipLeading).word;
}

bool StartsWith(const CZelString& text, const char* prefix)
{
    return text.View().starts_with(prefix);
}

// "authzid\0login\0password". Any other shape names nobody.
struct CPlainResponse {
    CZelString identity;
    CZelString login;
    CZelString password;
    bool wellFormed = false;
};

CPlainResponse ParsePlainResponse(const CZelString& decoded)
{
    CPlainResponse parsed;
    const int32_t first = decoded.Find('\0');
    const int32_t second = first < 0 ? -1 : decoded.Find('\0', first + 1);
    if (second < 0)
        return parsed;
    parsed.identity = decoded.Left(first);
    parsed.login = decoded.Mid(first + 1, second - first - 1);
    parsed.password = decoded.Mid(second + 1);
    parsed.wellFormed = true;
    return parsed;
}

} // namespace

CSmtpSession::CSmtpSession(ILineChannel& channel, ISmtpMailDesk& desk, CProtocolListData& log,
                           CSmtpSessionOptions options)
    : m_channel(channel), m_desk(desk), m_log(log), m_options(std::move(options))
{
    if (m_options.hostName.IsEmpty())
        m_options.hostName = kSmtpUnknownHost;
}

void CSmtpSession::Run()
{
    const auto releaseKey = [this] {
        try {
            m_desk.ReleaseOutboxKey();
        } catch (const XTOOBaseError& error) {
            m_log.Write(kSmtpLogTextLine, error.GetText());
        }
    };
    try {
        Dialogue();
    } catch (const XTOOSockErr& error) {
        m_log.Write(kSmtpLogTextLine, error.GetText());
    } catch (const XTOOSockClose& error) {
        m_log.Write(kSmtpLogTextLine, error.GetText());
    } catch (...) {
        releaseKey();
        throw;
    }
    releaseKey();
}

void CSmtpSession::Dialogue()
{
    m_logins.Build([this](const CZelString& line) { m_log.Write(kSmtpLogTextLine, line); });
    StartCommandPhase();
    if (!Greet() || !Authenticate())
        return;
    EStage stage = EStage::Mail;
    while (stage != EStage::End) {
        switch (stage) {
        case EStage::Mail: stage = MailStage(); break;
        case EStage::Recipients: stage = RecipientStage(); break;
        case EStage::Data: stage = DataStage(); break;
        case EStage::AfterMessage: stage = AfterMessageStage(); break;
        case EStage::End: break;
        }
    }
}

// --- greeting and login ---

bool CSmtpSession::Greet()
{
    Reply(Format(kSmtpReplyGreeting, m_options.hostName));
    return Hello();
}

bool CSmtpSession::Hello()
{
    CZelString line;
    if (!ReadCommand(line, true))
        return false;
    const CZelString word = AsciiUpper(FirstWord(line, false));
    if (word != kSmtpCmdEhlo && word != kSmtpCmdHelo) {
        Reply(kSmtpReplyBadSequence);
        return false;
    }
    const char* extensions = m_channel.IsSecure() ? kSmtpReplyExtensionsUnderTls : kSmtpReplyExtensions;
    Reply(Format(extensions, m_options.hostName, kSmtpMaxMessageBytes));
    return true;
}

bool CSmtpSession::StartTls()
{
    // A second STARTTLS is as out of place as any other command here.
    if (m_channel.IsSecure()) {
        Reply(kSmtpReplyBadSequence);
        return false;
    }
    if (!m_channel.CanStartTls()) {
        Reply(kSmtpReplyTlsUnavailable);
        return true;
    }
    Reply(kSmtpReplyReadyToStartTls);
    if (!m_channel.StartTls(kLocalTlsHandshakeTimeoutMs)) {
        m_log.Write(kLocalTlsLogHandshakeFailed, OneLine(m_channel.TlsFailure()));
        return false;
    }
    m_log.Write(kLocalTlsLogStarted, m_channel.TlsProtocol());
    // Nothing learnt in the clear carries over: the client greets again.
    return Hello();
}

bool CSmtpSession::LoginNeedsTls() const
{
    return m_options.remotePeer && !m_channel.IsSecure();
}

bool CSmtpSession::ReadAuthCommand(CZelString& line)
{
    for (;;) {
        if (!ReadCommand(line, true))
            return false;
        const CZelString upper = AsciiUpper(line);
        if (upper == kSmtpCmdStartTls) {
            if (!StartTls())
                return false;
            continue;
        }
        const bool auth = upper == kSmtpCmdAuthLogin || upper == kSmtpCmdAuthPlain ||
                          StartsWith(upper, kSmtpCmdAuthPlainWithResponse);
        if (!auth || !LoginNeedsTls())
            return true;
        // Refused before anything of it is decoded or looked up.
        Reply(kSmtpReplyTlsRequired);
    }
}

bool CSmtpSession::Authenticate()
{
    CZelString line;
    if (!ReadAuthCommand(line))
        return false;
    const CZelString upper = AsciiUpper(line);
    const bool login = upper == kSmtpCmdAuthLogin;
    const bool plain = upper == kSmtpCmdAuthPlain || StartsWith(upper, kSmtpCmdAuthPlainWithResponse);
    if (!login && !plain) {
        Reply(kSmtpReplyBadSequence);
        return false;
    }
    CZelString name;
    CZelString password;
    bool identityAccepted = true;
    if (!ReadLogin(plain, line, name, password, identityAccepted))
        return false;
    m_accountId = m_logins.Find(name);
    // An unknown "login" may be a password typed into the wrong field: only a login of this
    // machine is shown.
    m_log.Write(kSmtpLogLoginDecode, m_accountId >= 0 ? OneLine(name) : CZelString(kSmtpLogSecret));
    if (m_accountId < 0 || !identityAccepted) {
        m_accountId = -1;
        Reply(kSmtpReplyCredentialsInvalid);
        return false;
    }
    if (login && !ReadPassword(password))
        return false;
    CZelString operatedStatus;
    const ESmtpHandshake handshake =
        AskDesk([&] { return m_desk.Handshake(m_accountId, name, password, operatedStatus); });
    switch (handshake) {
    case ESmtpHandshake::BadCredentials:
        Reply(kSmtpReplyCredentialsInvalid);
        return false;
    case ESmtpHandshake::EndSession:
        return false;
    case ESmtpHandshake::Done:
        break;
    }
    return ReportStanding(operatedStatus);
}

bool CSmtpSession::ReadLogin(bool plain, const CZelString& command, CZelString& login, CZelString& password,
                             bool& identityAccepted)
{
    CZelString response;
    if (plain && StartsWith(AsciiUpper(command), kSmtpCmdAuthPlainWithResponse)) {
        response = command.Mid(kSmtpAuthPlainResponseStart);
    } else {
        Reply(plain ? kSmtpReplyChallenge : kSmtpReplyLoginChallenge);
        if (!ReadCommand(response, true, ESecret::Whole))
            return false;
    }
    const CZelString decoded = Base64Decode(response).bytes;
    if (!plain) {
        login = decoded;
        return true;
    }
    // A client may name whom it acts for; acting for anyone but the login itself is not
    // offered. The identity is compared as logins are looked up: byte for byte.
    const CPlainResponse parsed = ParsePlainResponse(decoded);
    login = parsed.login;
    password = parsed.password;
    identityAccepted = parsed.wellFormed && (parsed.identity.IsEmpty() || parsed.identity == parsed.login);
    return true;
}

bool CSmtpSession::ReadPassword(CZelString& password)
{
    Reply(kSmtpReplyPasswordChallenge);
    CZelString response;
    if (!ReadCommand(response, true, ESecret::Whole))
        return false;
    password = Base64Decode(response).bytes;
    m_log.Write(kSmtpLogPasswordDecode);
    return true;
}

bool CSmtpSession::ReportStanding(const CZelString& operatedStatus)
{
    if (operatedStatus == kSmtpOperatedStatusNormal) {
        m_authenticated = true;
        Reply(kSmtpReplyAuthSuccess);
        return true;
    }
    if (operatedStatus.IsEmpty())
        Reply(kSmtpReplyStatusUnknown);
    else
        Reply(Format(kSmtpReplyStatusOther, OneLine(operatedStatus)));
    return false;
}

// --- the message stages ---

CSmtpSession::EStage CSmtpSession::MailStage()
{
    CZelString line;
    if (!ReadCommand(line, true))
        return EStage::End;
    const CZelString upper = AsciiUpper(line);
    if (upper == kSmtpCmdQuit) {
        Reply(kSmtpReplyBye);
        return EStage::End;
    }
    if (!StartsWith(upper, kSmtpCmdMailFrom))
        return EStage::End;
    return StartMessage();
}

CSmtpSession::EStage CSmtpSession::StartMessage()
{
    // The sender's address is neither stored nor checked: the account is the sender.
    m_recipients.clear();
    Reply(kSmtpReplyOk);
    return EStage::Recipients;
}

CSmtpSession::EStage CSmtpSession::RecipientStage()
{
    CZelString line;
    if (!ReadCommand(line, false))
        return EStage::End;
    const CZelString upper = AsciiUpper(line);
    if (upper == kSmtpCmdRset) {
        m_recipients.clear();
        Reply(kSmtpReplyOk);
        return EStage::Mail;
    }
    if (AnswerCommonCommand(line))
        return EStage::Recipients;
    if (StartsWith(upper, kSmtpCmdRcptTo))
        return AcceptRecipient(line);
    if (upper == kSmtpCmdData) {
        if (m_recipients.empty()) {
            Reply(kSmtpReplyBadSequence);
            return EStage::Recipients;
        }
        Reply(kSmtpReplyStartData);
        return EStage::Data;
    }
    Reply(upper == kSmtpCmdQuit ? kSmtpReplyBye : kSmtpReplyNotImplemented);
    return EStage::End;
}

CSmtpSession::EStage CSmtpSession::AcceptRecipient(const CZelString& line)
{
    // The first word after "RCPT TO:"; parameters after it (NOTIFY=, ORCPT=) are ignored.
    CZelString address = FirstWord(line.Mid(static_cast<int32_t>(sizeof kSmtpCmdRcptTo - 1)), true);
    const int32_t open = address.Find('<');
    if (open >= 0) {
        address = address.Mid(open + 1);
        const int32_t close = address.Find('>');
        if (close >= 0)
            address = address.Left(close);
    }
    if (address.IsEmpty()) {
        Reply(kSmtpReplyNoSuchUser);
        return EStage::Recipients;
    }
    const CSmtpLookup lookup = AskDesk([&] { return m_desk.LookupRecipient(address); });
    const CSmtpRecipient& found = lookup.recipient;
    switch (lookup.kind) {
    case CSmtpLookup::Kind::Accepted:
        if (found.msgId.IsEmpty() || found.n.IsEmpty() || found.e.IsEmpty() || found.userId.IsEmpty()) {
            Reply(kSmtpReplyServerReplyError);
        } else {
            m_recipients.push_back(found);
            Reply(kSmtpReplyRecipientOk);
        }
        return EStage::Recipients;
    case CSmtpLookup::Kind::Refused:
        if (!lookup.errorText.IsEmpty()) {
            Reply(Format(kSmtpReplyRecipientError, OneLine(lookup.errorText).Left(kSmtpErrorTextLimit)));
            return EStage::Recipients;
        }
        [[fallthrough]];
    case CSmtpLookup::Kind::NoSuchUser:
        Reply(kSmtpReplyNoSuchUser);
        return EStage::Recipients;
    case CSmtpLookup::Kind::ServerReplyError:
        Reply(kSmtpReplyServerReplyError);
        return EStage::Recipients;
    case CSmtpLookup::Kind::EndSession:
        break;
    }
    return EStage::End;
}

CSmtpSession::EStage CSmtpSession::AfterMessageStage()
{
    CZelString line;
    if (!ReadCommand(line, false))
        return EStage::End;
    const CZelString upper = AsciiUpper(line);
    if (upper == kSmtpCmdQuit) {
        Reply(kSmtpReplyBye);
        return EStage::End;
    }
    if (upper == kSmtpCmdRset) {
        m_recipients.clear();
        Reply(kSmtpReplyOk);
        return EStage::Mail;
    }
    // Clients send the next message of a session without RSET, as SMTP allows.
    if (StartsWith(upper, kSmtpCmdMailFrom))
        return StartMessage();
    Reply(kSmtpReplyBadSequence);
    return EStage::End;
}

// --- the data stage ---

CSmtpSession::EStage CSmtpSession::DataStage()
{
    m_message.clear();
    m_dataStartMs = Now();
    m_lastProgressMs = m_dataStartMs;
    m_dataReceived = 0;
    m_headerLogged = 0;
    m_loggingHeaders = true;
    CDataCursor cursor;
    for (;;) {
        const int64_t deadline =
            m_dataStartMs + kSmtpDataGraceMs + m_dataReceived * 1000 / kSmtpDataFloorBytesPerSecond;
        if (Now() >= deadline) {
            EndTimeLimited();
            return EStage::End;
        }
        const CZelString piece = ReadPiece(deadline);
        if (piece.IsEmpty()) {
            if (Now() >= deadline)
                EndTimeLimited();
            return EStage::End;
        }
        m_dataReceived += piece.Length();
        if (m_dataReceived > kSmtpMaxMessageBytes) {
            Reply(Format(kSmtpReplyTooLong, kSmtpMaxMessageMegabytes));
            return EStage::End;
        }
        const CDataCursor before = cursor;
        const bool ended = TakeDataPiece(piece.View(), cursor);
        LogDataPiece(piece, before);
        if (ended)
            break;
    }
    m_log.WriteAs(LogKind::Progress, kSmtpLogFinalCount, static_cast<int64_t>(m_message.size()));
    return QueueMessage();
}

// True when the piece ended the data. Only a "." line that starts a line ends it; a line
// that begins with a dot lost one dot to the client's stuffing and gets it back here.
bool CSmtpSession::TakeDataPiece(std::string_view piece, CDataCursor& cursor)
{
    if (cursor.pendingDot) {
        cursor.pendingDot = false;
        if (piece == kSmtpLineEnd)
            return true;
        cursor.atLineStart = false;   // the held dot was a stuffing dot
    }
    if (cursor.afterCr && piece.starts_with('\n')) {
        // The previous piece stopped between CR and LF: the line ends here.
        Store(piece.substr(0, 1));
        piece.remove_prefix(1);
        cursor.atLineStart = true;
        cursor.afterCr = false;
        if (piece.empty())
            return false;
    }
    return TakeLine(piece, cursor);
}

bool CSmtpSession::TakeLine(std::string_view piece, CDataCursor& cursor)
{
    if (cursor.atLineStart && piece.starts_with('.')) {
        if (piece == kSmtpDataEnd)
            return true;
        if (piece.size() == 1) {
            cursor.pendingDot = true;
            return false;
        }
        piece.remove_prefix(1);
    }
    Store(piece);
    cursor.atLineStart = piece.ends_with(kSmtpLineEnd);
    cursor.afterCr = piece.ends_with('\r');
    return false;
}

void CSmtpSession::Store(std::string_view bytes)
{
    // Grows by doubling from the start size, never past the limit plus one read.
    const size_t needed = m_message.size() + bytes.size();
    if (needed > m_message.capacity()) {
        const size_t ceiling = static_cast<size_t>(kSmtpMaxMessageBytes + kSmtpReadLimit);
        size_t capacity = std::max<size_t>(m_message.capacity(), kSmtpMessageBufferStart);
        while (capacity < needed)
            capacity *= 2;
        m_message.reserve(std::max(needed, std::min(capacity, ceiling)));
    }
    m_message.append(bytes);
}

void CSmtpSession::LogDataPiece(const CZelString& piece, const CDataCursor& before)
{
    if (m_loggingHeaders) {
        LogClientText(piece);
        m_headerLogged += piece.Length();
        const bool blankLine = before.atLineStart && !before.pendingDot && piece == kSmtpLineEnd;
        if (!blankLine && m_headerLogged <= kSmtpHeaderLogLimit)
            return;
        m_loggingHeaders = false;
        LogDataProgress(true);
        return;
    }
    LogDataProgress(false);
}

void CSmtpSession::LogDataProgress(bool force)
{
    const int64_t now = Now();
    if (!force && now - m_lastProgressMs < kSmtpProgressIntervalMs)
        return;
    m_lastProgressMs = now;
    m_log.WriteAs(LogKind::Progress, kSmtpLogDataProgress, m_dataReceived);
}

CSmtpSession::EStage CSmtpSession::QueueMessage()
{
    const ESmtpQueue result = m_desk.QueueMessage(m_recipients, m_message);
    m_recipients.clear();
    std::string().swap(m_message);
    switch (result) {
    case ESmtpQueue::Queued: {
        uint64_t v = 0;
        CryptRandomFill(&v, sizeof v);
        Reply(Format(kSmtpReplyQueued, static_cast<uint32_t>((v >> 32) % 15), static_cast<uint32_t>(v)));
        break;
    }
    case ESmtpQueue::Failed:
        Reply(kSmtpReplyFailure);
        break;
    case ESmtpQueue::EndSession:
        return EStage::End;
    }
    StartCommandPhase();
    return EStage::AfterMessage;
}

// --- reading, replying, logging ---

bool CSmtpSession::ReadCommand(CZelString& line, bool common, ESecret secret)
{
    for (;;) {
        if (Now() >= m_commandDeadlineMs) {
            EndTimeLimited();
            return false;
        }
        const CZelString raw = ReadPiece(m_commandDeadlineMs);
        if (raw.IsEmpty() && Now() >= m_commandDeadlineMs) {
            EndTimeLimited();
            return false;
        }
        line = StripLineEnd(raw);
        const CCommand* command = common ? CommonCommand(line) : nullptr;
        LogClientText(command || secret == ESecret::None ? LoggedForm(line, raw) : CZelString(kSmtpLogSecret));
        if (!command)
            return true;
        Reply(command->reply);
    }
}

CZelString CSmtpSession::LoggedForm(const CZelString& line, const CZelString& raw) const
{
    const CZelString word = AsciiUpper(FirstWord(line, true));
    if (word == kSmtpCmdAuth)
        return MaskAfterWords(raw, kAuthWordsShown, kSmtpLogSecret);
    if (!m_authenticated && !IsOneOf(word, kKnownWords))
        return CZelString(kSmtpLogSecret);
    return raw;
}

CZelString CSmtpSession::ReadPiece(int64_t deadlineMs)
{
    const int64_t left = std::max<int64_t>(0, deadlineMs - Now());
    return m_channel.ReadLine(kSmtpReadLimit, static_cast<int>(std::min<int64_t>(kSmtpIoTimeoutMs, left)));
}

const CSmtpSession::CCommand* CSmtpSession::CommonCommand(const CZelString& line)
{
    const CZelString word = AsciiUpper(FirstWord(line, false));
    for (const CCommand& command : kCommonCommands) {
        if (word == command.word)
            return &command;
    }
    return nullptr;
}

bool CSmtpSession::AnswerCommonCommand(const CZelString& line)
{
    const CCommand* command = CommonCommand(line);
    if (command)
        Reply(command->reply);
    return command != nullptr;
}

void CSmtpSession::Reply(const CZelString& text)
{
    CZelString logged = text;
    logged.Replace("\r", "");
    m_log.AddStringEx(logged, LogKind::Reply);
    m_channel.Write(text, kSmtpIoTimeoutMs);
}

void CSmtpSession::LogClientText(const CZelString& text)
{
    CZelString logged = text;
    logged.Replace("\r", "");
    // A piece cut by the read limit or a time-out still gets a line of its own.
    if (!logged.View().ends_with('\n'))
        logged += "\n";
    m_log.AddStringEx(logged, LogKind::Command);
}

void CSmtpSession::EndTimeLimited()
{
    m_log.Write(kSmtpLogTimeLimit);
    Reply(kSmtpReplyTimeLimit);
}

// --- time ---

int64_t CSmtpSession::Now() const
{
    if (m_options.nowMs)
        return m_options.nowMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CSmtpSession::StartCommandPhase()
{
    m_commandDeadlineMs = Now() + kSmtpCommandPhaseLimitMs;
}
