#include "pop3/CPop3Session.h"

#include "accounts/CAccountFile.h"
#include "core/CAccountChangeFlags.h"
#include "core/CProtocolListData.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelDateTime.h"
#include "foundation/ZelGlobalLocks.h"
#include "history/CMessageHistory.h"
#include "net/ILineChannel.h"
#include "net/LineWords.h"
#include "pop3/CPop3MessageFile.h"
#include "pop3/CPop3TextFilter.h"
#include "pop3/IPop3Desk.h"
#include "protocol/ZelLocalTlsTexts.h"
#include "protocol/ZelPop3Texts.h"

#include <algorithm>
#include <climits>
#include <exception>

struct CPop3Session::CCommand {
    const char* word;
    bool (CPop3Session::*run)(const CZelString& argument);
    // Recognised only as the whole line (STAT takes no argument, and one makes it unknown).
    bool wholeLine = false;
};

const CPop3Session::CCommand CPop3Session::kCommands[] = {
    {kPop3CmdStat, &CPop3Session::Stat, true},
    {kPop3CmdList, &CPop3Session::List},
    {kPop3CmdRetr, &CPop3Session::Retrieve},
    {kPop3CmdDele, &CPop3Session::Delete},
    {kPop3CmdRset, &CPop3Session::Reset},
    {kPop3CmdUidl, &CPop3Session::UniqueIds},
    {kPop3CmdTop, &CPop3Session::Top},
    {kPop3CmdNoop, &CPop3Session::Noop},
    {kPop3CmdApop, &CPop3Session::Apop},
    {kPop3CmdCapa, &CPop3Session::Capabilities},
    {kPop3CmdQuit, &CPop3Session::Quit},
};

namespace {

// The first words of every command the server knows. Before the login, a line that starts
// with none of them may be anything the client was given to send, a password included.
constexpr const char* kKnownWords[] = {
    kPop3CmdUser, kPop3CmdPass, kPop3CmdAuth, kPop3CmdApop, kPop3CmdQuit, kPop3CmdCapa, kPop3CmdStls,
    kPop3CmdStat, kPop3CmdList, kPop3CmdRetr, kPop3CmdDele, kPop3CmdRset, kPop3CmdUidl, kPop3CmdTop, kPop3CmdNoop,
};

// How many words of a line the log shows when what follows them may be a secret: the PASS
// word alone, AUTH with its mechanism, APOP with its name.
constexpr int kPassWordsShown = 1;
constexpr int kAuthWordsShown = 2;

// A decimal number argument; -1 when missing or unreadable.
int64_t NumberOf(const CZelString& word)
{
    if (word.IsEmpty())
        return -1;
    int64_t value = 0;
    for (const char c : word.View()) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX)
            return -1;
    }
    return value;
}

int64_t NumberArgument(const CZelString& argument)
{
    return NumberOf(SplitFirstWord(argument, false).word);
}

// A message number that fits the replies' "%d".
int32_t Shown(int64_t n)
{
    return static_cast<int32_t>(n);
}

} // namespace

CPop3Session::CPop3Session(ILineChannel& channel, IPop3Desk& desk, CProtocolListData& log, CPop3SessionOptions options)
    : m_channel(channel), m_desk(desk), m_log(log), m_options(std::move(options))
{
    if (m_options.hostName.IsEmpty())
        m_options.hostName = kPop3UnknownHost;
}

void CPop3Session::Run()
{
    try {
        Dialogue();
    } catch (const XTOOBaseError& error) {
        if (error.GetText().IsEmpty())
            m_log.Write(kPop3LogError);
        else
            m_log.Write(kPop3LogTextLine, error.GetText());
    } catch (const std::exception& error) {
        m_log.Write(kPop3LogTextLine, CZelString(error.what()));
    }
    m_busy.Leave();
}

void CPop3Session::Dialogue()
{
    m_logins.Build([this](const CZelString& line) { m_log.Write(kPop3LogTextLine, line); });
    Reply(Format(kPop3ReplyGreeting, m_options.hostName));
    if (Authorize())
        Transaction();
}

// --- authorization ---

bool CPop3Session::Authorize()
{
    CZelString line;
    if (!ReadAuthorizationLine(line, true))
        return false;
    const LineWords userLine = SplitFirstWord(line, false);
    if (AsciiUpper(userLine.word) != kPop3CmdUser) {
        Reply(kPop3ReplyUserRequired);
        return false;
    }
    const CZelString& user = userLine.rest;
    const int64_t accountId = m_logins.Find(user);
    if (accountId < 0) {
        Reply(kPop3ReplyBadLogin);
        return false;
    }
    if (CPop3BusyAccounts::IsBusy(accountId)) {
        Reply(kPop3ReplyAccountBusy);
        return false;
    }
    Reply(kPop3ReplyNeedPassword);
    if (!ReadAuthorizationLine(line, false))
        return false;
    const LineWords passLine = SplitFirstWord(line, false);
    if (AsciiUpper(passLine.word) != kPop3CmdPass) {
        Reply(kPop3ReplyPassRequired);
        return false;
    }
    CZelXmlDocument account;
    if (!CheckPassword(accountId, user, passLine.rest, account)) {
        Reply(kPop3ReplyAuthError);
        return false;
    }
    // Only this reserves the account: of two sessions past the password at once, the second
    // is turned away here.
    if (!m_busy.Enter(accountId)) {
        Reply(kPop3ReplyAccountBusy);
        return false;
    }
    m_accountId = accountId;
    return LogIn(accountId, account);
}

bool CPop3Session::ReadAuthorizationLine(CZelString& line, bool beforeUser)
{
    for (;;) {
        if (!ReadCommand(line))
            return false;
        const CZelString upper = AsciiUpper(line);
        if (beforeUser && (upper == kPop3CmdAuth || upper.View().starts_with(kPop3CmdAuthWithArgument) ||
                           upper.View().starts_with(kPop3CmdApop))) {
            Reply(kPop3ReplyAuthNotSupported);
            continue;
        }
        const CZelString word = AsciiUpper(SplitFirstWord(line, false).word);
        if (word == kPop3CmdQuit) {
            Reply(kPop3ReplyGoodbye);
            return false;
        }
        if (word == kPop3CmdCapa) {
            Reply(beforeUser && m_channel.CanStartTls() ? kPop3ReplyCapabilitiesWithStls : kPop3ReplyCapabilities);
            continue;
        }
        if (beforeUser && word == kPop3CmdStls) {
            if (!StartTls())
                return false;
            continue;
        }
        if ((word == kPop3CmdUser || word == kPop3CmdPass) && LoginNeedsTls()) {
            // Refused before the name is looked up or the password compared.
            Reply(kPop3ReplyTlsRequired);
            continue;
        }
        return true;
    }
}

bool CPop3Session::StartTls()
{
    if (!m_channel.CanStartTls()) {
        Reply(kPop3ReplyTlsUnavailable);
        return true;
    }
    Reply(kPop3ReplyBeginTls);
    if (!m_channel.StartTls(kLocalTlsHandshakeTimeoutMs)) {
        CZelString reason = m_channel.TlsFailure();
        reason.Replace("\r", "");
        reason.Replace("\n", "");
        m_log.Write(kLocalTlsLogHandshakeFailed, reason);
        return false;
    }
    m_log.Write(kLocalTlsLogStarted, m_channel.TlsProtocol());
    return true;
}

bool CPop3Session::LoginNeedsTls() const
{
    return m_options.remotePeer && !m_channel.IsSecure();
}

bool CPop3Session::CheckPassword(int64_t accountId, const CZelString& user, const CZelString& password,
                                 CZelXmlDocument& account)
{
    {
        CZelLockGuard hold(ZelDataLock(), "CPop3Session::CheckPassword()", __LINE__);
        if (!CAccountFile::Load(CAccountFile::FileNameFor(accountId), account))
            return false;
    }
    const CZelXmlNode root = account.RootElement();
    bool hasLogin = false;
    bool hasPassword = false;
    const CZelString fileLogin = root.GetAttr(AccountAttr::kLogin, &hasLogin);
    const CZelString filePassword = root.GetAttr(AccountAttr::kPassword, &hasPassword);
    return hasLogin && hasPassword && fileLogin == user && filePassword == password;
}

bool CPop3Session::LogIn(int64_t accountId, const CZelXmlDocument& account)
{
    const CPop3Standing standing = m_desk.LogIn(accountId, account);
    // The exchange may have brought delivery reports and list updates, whatever the standing.
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kDeliveryReports);
    if (standing.operatedStatus != kPop3OperatedStatusNormal) {
        if (standing.operatedStatus.IsEmpty()) {
            Reply(kPop3ReplyStatusUnknown);
        } else {
            CZelString shown = standing.operatedStatus;
            shown.Replace("\r", "");
            shown.Replace("\n", "");
            Reply(Format(kPop3ReplyStatusOther, shown));
        }
        return false;
    }
    m_mailbox.emplace(accountId);
    m_mailbox->Open();
    Reply(kPop3ReplyLocked);
    return true;
}

// --- transaction ---

void CPop3Session::Transaction()
{
    CZelString line;
    while (ReadCommand(line)) {
        const CCommand* command = FindCommand(line);
        if (!command) {
            Reply(kPop3ReplyUnknownCommand);
            continue;
        }
        if (!(this->*command->run)(SplitFirstWord(line, false).rest))
            return;
    }
}

const CPop3Session::CCommand* CPop3Session::FindCommand(const CZelString& line)
{
    const CZelString word = AsciiUpper(SplitFirstWord(line, false).word);
    for (const CCommand& command : kCommands) {
        if (word != command.word)
            continue;
        if (command.wholeLine && AsciiUpper(line) != command.word)
            return nullptr;
        return &command;
    }
    return nullptr;
}

bool CPop3Session::Stat(const CZelString&)
{
    Reply(Format(kPop3ReplyStat, m_mailbox->VisibleCount(), m_mailbox->VisibleBytes()));
    return true;
}

bool CPop3Session::List(const CZelString& argument)
{
    if (!argument.IsEmpty()) {
        const int64_t n = NumberArgument(argument);
        const CMailboxFolder::CEntry* entry = m_mailbox->Visible(n);
        if (entry)
            Reply(Format(kPop3ReplyListOne, n, entry->size));
        else
            Reply(Format(kPop3ReplyListNoSuch, Shown(m_mailbox->VisibleCount())));
        return true;
    }
    CZelString text = Format(kPop3ReplyListHead, m_mailbox->VisibleCount(), m_mailbox->VisibleBytes());
    for (int64_t n = 1; n <= m_mailbox->Positions(); ++n) {
        if (const CMailboxFolder::CEntry* entry = m_mailbox->Visible(n))
            text += Format(kPop3ReplyListLine, n, entry->size);
    }
    text += kPop3ReplyEndMark;
    Reply(text);
    return true;
}

bool CPop3Session::Retrieve(const CZelString& argument)
{
    const int64_t n = NumberArgument(argument);
    const CMailboxFolder::CEntry* entry = m_mailbox->Visible(n);
    CPop3MessageFile file;
    int64_t length = -1;
    if (entry && file.Open(m_mailbox->Folder().MessagePath(entry->number)))
        length = file.PreparedLength(CPop3TextFilter::kWholeText);
    if (length < 0) {
        Reply(kPop3ReplyRetrieveNoSuch);
        return true;
    }
    const CZelString messageId = m_mailbox->ServerMessageId(n);
    // The answer is streamed and not logged: a message of many megabytes is never held whole.
    const CZelString head = Format(kPop3ReplyRetrieve, length);
    const auto sent = file.Send(CPop3TextFilter::kWholeText, head.View(), kPop3ReplyEndMark, length,
                                [this](const std::string& piece) { return SendPiece(piece, kPop3RetrieveWriteTimeoutMs); });
    if (sent != CPop3MessageFile::ESend::Sent) {
        m_log.Write(kPop3LogMessageChanged, m_mailbox->Folder().MessagePath(entry->number));
        return false;
    }
    if (!messageId.IsEmpty())
        RecordRetrieval(messageId);
    return true;
}

void CPop3Session::RecordRetrieval(const CZelString& messageId)
{
    if (!CMessageHistory::RecordRetrieved(m_accountId, messageId, NowMicroseconds()))
        m_log.Write(kPop3LogHistoryFailed, m_accountId);
    // The client has its message whatever the central server says about the report.
    try {
        m_desk.ReportReceived(messageId);
    } catch (const XTOOBaseError& error) {
        m_log.Write(kPop3LogTextLine, error.GetText());
    }
}

bool CPop3Session::Delete(const CZelString& argument)
{
    const int64_t n = NumberArgument(argument);
    if (m_mailbox->Mark(n))
        Reply(Format(kPop3ReplyMarked, Shown(n)));
    else if (m_mailbox->IsMarked(n))
        Reply(Format(kPop3ReplyAlreadyDeleted, Shown(n)));
    else
        Reply(kPop3ReplyNoSuchMessage);
    return true;
}

bool CPop3Session::Reset(const CZelString&)
{
    m_mailbox->ClearMarks();
    Reply(kPop3ReplyOk);
    return true;
}

bool CPop3Session::UniqueIds(const CZelString& argument)
{
    if (!argument.IsEmpty()) {
        const int64_t n = NumberArgument(argument);
        const CZelString id = m_mailbox->UniqueId(n);
        if (id.IsEmpty())
            Reply(kPop3ReplyNoSuchMessage);
        else
            Reply(Format(kPop3ReplyUidOne, Shown(n), id));
        return true;
    }
    CZelString text = kPop3ReplyOk;
    for (int64_t n = 1; n <= m_mailbox->Positions(); ++n) {
        const CZelString id = m_mailbox->UniqueId(n);
        if (!id.IsEmpty())
            text += Format(kPop3ReplyUidLine, Shown(n), id);
    }
    text += kPop3ReplyEndMark;
    Reply(text);
    return true;
}

bool CPop3Session::Top(const CZelString& argument)
{
    const LineWords words = SplitFirstWord(argument, false);
    const int64_t n = NumberOf(words.word);
    const int64_t lines = NumberArgument(words.rest);
    const CMailboxFolder::CEntry* entry = n >= 1 && lines >= 0 ? m_mailbox->Visible(n) : nullptr;
    CPop3MessageFile file;
    if (!entry || !file.Open(m_mailbox->Folder().MessagePath(entry->number))) {
        Reply(kPop3ReplyError);
        return true;
    }
    // The log gets the answer's start only, as one piece after it went out.
    std::string shown;
    const auto sent = file.Send(lines, kPop3ReplyOk, kPop3ReplyEndMark, -1, [&](const std::string& piece) {
        const size_t room = static_cast<size_t>(kPop3AnswerLogLimit) - std::min(shown.size(), size_t{kPop3AnswerLogLimit});
        shown.append(piece, 0, std::min(room, piece.size()));
        return SendPiece(piece, kPop3TopWriteTimeoutMs);
    });
    if (!shown.ends_with('\n'))
        shown += '\n';
    LogSent(CZelString(std::string_view(shown)));
    if (sent != CPop3MessageFile::ESend::Sent) {
        m_log.Write(kPop3LogMessageChanged, m_mailbox->Folder().MessagePath(entry->number));
        return false;
    }
    return true;
}

bool CPop3Session::Noop(const CZelString&)
{
    Reply(kPop3ReplyOk);
    return true;
}

bool CPop3Session::Apop(const CZelString&)
{
    Reply(kPop3ReplyNotSupported);
    return true;
}

bool CPop3Session::Capabilities(const CZelString&)
{
    Reply(kPop3ReplyCapabilities);
    return true;
}

bool CPop3Session::Quit(const CZelString&)
{
    // The client hears whether its deletions were carried out before the connection goes.
    const bool removed = RemoveMarked();
    // The mailbox is done with: a client that logs in again the moment it hears the answer
    // finds the account free, not busy.
    m_busy.Leave();
    Reply(removed ? kPop3ReplyGoodbye : kPop3ReplyNotRemoved);
    m_log.Write(kPop3LogQuit);
    return false;
}

bool CPop3Session::RemoveMarked()
{
    bool all = true;
    for (const int64_t number : m_mailbox->MarkedFileNumbers()) {
        if (!m_desk.RemoveMessage(number))
            all = false;
    }
    return all;
}

// --- reading, replying, logging ---

bool CPop3Session::ReadCommand(CZelString& line)
{
    const CZelString raw = m_channel.ReadLine(kPop3ReadLimit, kPop3ReadTimeoutMs);
    if (raw.IsEmpty()) {
        // Nothing within the read's time: the client is gone or asleep.
        m_log.Write(kPop3LogTimeOut);
        return false;
    }
    LogReceived(raw);
    line = StripLineEnd(raw);
    return true;
}

void CPop3Session::Reply(const CZelString& text)
{
    LogSent(text);
    SendPiece(text.ToStd(), kPop3WriteTimeoutMs);
}

bool CPop3Session::SendPiece(const std::string& piece, int timeoutMs)
{
    // A client that stops taking what it asked for ends its session; what would follow could
    // not be told from what it missed.
    if (!m_channel.Write(CZelString(std::string_view(piece)), timeoutMs))
        throw XTOOSockErr::WithMessage(CZelString(kPop3TextTimeOut));
    return true;
}

void CPop3Session::LogReceived(const CZelString& raw)
{
    CZelString logged = LoggedForm(raw);
    logged.Replace("\r", "");
    // A piece cut by the read limit still gets a line of its own.
    if (!logged.View().ends_with('\n'))
        logged += "\n";
    m_log.AddStringEx(logged, LogKind::Command);
}

CZelString CPop3Session::LoggedForm(const CZelString& raw) const
{
    // Blanks before the word change nothing: " PASS x" is still a password.
    const LineWords words = SplitFirstWord(StripLineEnd(raw), true);
    const CZelString word = AsciiUpper(words.word);
    if (word == kPop3CmdPass)
        return MaskAfterWords(raw, kPassWordsShown, kPop3LogSecret);
    if (word == kPop3CmdAuth || word == kPop3CmdApop)
        return MaskAfterWords(raw, kAuthWordsShown, kPop3LogSecret);
    if (word == kPop3CmdUser && m_logins.Find(words.rest) < 0)
        return MaskAfterWords(raw, kPassWordsShown, kPop3LogSecret);
    if (m_accountId < 0 && !IsOneOf(word, kKnownWords))
        return CZelString(kPop3LogSecret);
    return raw;
}

void CPop3Session::LogSent(const CZelString& text)
{
    CZelString logged = text;
    logged.Replace("\r", "");
    m_log.AddStringEx(logged, LogKind::Reply);
}
