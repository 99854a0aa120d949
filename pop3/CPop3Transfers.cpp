#include "pop3/CPop3Transfers.h"

#include "accounts/CAccountFile.h"
#include "accounts/ZelConfiguredServer.h"
#include "core/CActivityTexts.h"
#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "core/ZelEnvironmentPause.h"
#include "foundation/CZelEvent.h"
#include "foundation/CZelFile.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelTcpFile.h"
#include "pop3/CHeaderRewrite.h"
#include "pop3/CInboxDownload.h"
#include "pop3/CInboxMessage.h"
#include "pop3/CInboxQueue.h"
#include "pop3/CInboxStore.h"
#include "pop3/CMailboxFolder.h"
#include "protocol/ZelInboxTexts.h"
#include "protocol/ZelMessageId.h"

#include <chrono>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The pause before a message that must wait is tried again. VELMO_DOWNLOAD_RETRY_MS
// (milliseconds, 1 to the default) shortens it, for tests that take the central server down
// and bring it back.
int RetryPauseMs()
{
    return EnvironmentPauseMs(kInboxRetryPauseVariable, kInboxRetryPauseMs);
}

// A message that must wait: when it may be tried again, how many tries in a row brought
// nothing, and how much its download file held after the last one.
struct CRetry {
    Clock::time_point due;
    int tries = 0;
    int64_t held = -1;
};

class CDownloadLoop {
public:
    CDownloadLoop(CZelStartServerThread& self, CProtocolListData& log) : m_self(self), m_log(log) {}

    void Run();

private:
    using RetryKey = std::pair<int64_t, std::string>;
    enum class EAccountEnd { Done, Stop };

    bool RetryDue() const;
    bool RunPass();
    EAccountEnd DownloadAccount(int64_t accountId, const CZelServerAddress& server, CZelTcpFile& connection);
    bool IsWaiting(const RetryKey& key) const;
    bool Postpone(const RetryKey& key, const CZelString& path);
    int Accept(int64_t accountId, const CInboxQueue::CHead& head, const CZelString& path);
    int OpenAndStore(int64_t accountId, const CInboxQueue::CHead& head, const CZelString& path);
    bool LoadRecipient(int64_t accountId, CInboxRecipient& recipient) const;

    CZelStartServerThread& m_self;
    CProtocolListData& m_log;
    std::map<RetryKey, CRetry> m_retries;
};

bool CDownloadLoop::RetryDue() const
{
    const Clock::time_point now = Clock::now();
    for (const auto& [key, retry] : m_retries)
        if (retry.due <= now)
            return true;
    return false;
}

bool CDownloadLoop::IsWaiting(const RetryKey& key) const
{
    const auto found = m_retries.find(key);
    return found != m_retries.end() && found->second.due > Clock::now();
}

// Schedules the next try; false when the message has had its tries and leaves the queue. It
// is not lost: the server keeps it, and the next login queues it again while the server still
// lists it.
bool CDownloadLoop::Postpone(const RetryKey& key, const CZelString& path)
{
    CRetry& retry = m_retries[key];
    const int64_t held = CZelFile::FileLength(path);
    // Tries that still bring data do not count against the message.
    retry.tries = held > retry.held ? 1 : retry.tries + 1;
    if (held > retry.held)
        retry.held = held;
    if (retry.tries >= kInboxRetryLimit) {
        m_log.Write(kInboxLogRetriesExhausted, CZelString(key.second.c_str()), retry.tries);
        return false;
    }
    retry.due = Clock::now() + std::chrono::milliseconds(RetryPauseMs());
    return true;
}

bool CDownloadLoop::LoadRecipient(int64_t accountId, CInboxRecipient& recipient) const
{
    CZelXmlDocument account;
    {
        CZelLockGuard hold(ZelDataLock(), "CDownloadLoop::LoadRecipient()", __LINE__);
        if (!CAccountFile::Load(CAccountFile::FileNameFor(accountId), account))
            return false;
    }
    const CZelXmlNode root = account.RootElement();
    recipient = {accountId, root.GetAttr(AccountAttr::kN), root.GetAttr(AccountAttr::kD)};
    return true;
}

int CDownloadLoop::OpenAndStore(int64_t accountId, const CInboxQueue::CHead& head, const CZelString& path)
{
    std::string content;
    CZelString error;
    if (!ReadVerifiedContent(path, head.key, content, error)) {
        if (error.IsEmpty())
            m_log.Write(kInboxLogTransferHashError, head.messageId);
        else
            m_log.Write(kInboxLogFileError, error);
        return kReceiveDrop;
    }
    CInboxRecipient recipient;
    if (!LoadRecipient(accountId, recipient)) {
        m_log.Write(kInboxLogNoAccount, head.messageId);
        return kReceiveDrop;
    }
    std::optional<CInboxOpened> opened =
        OpenInboxMessage(std::move(content), head.key, recipient, head.messageId, m_log);
    if (!opened) {
        m_log.WriteAs(LogKind::Error, kInboxLogHashError, head.messageId);
        return kReceiveDrop;
    }
    RewriteHeaderInPlace(opened->text, opened->sender.email, opened->sender.unicodeName, head.messageId);
    if (StoreReceivedMessage(accountId, head.messageId, opened->text, opened->sender, m_log, error) < 0) {
        m_log.Write(kInboxLogFileError, error);
        return kReceiveDrop;
    }
    m_log.Write(kInboxLogReceived, head.messageId);
    return kReceiveComplete;
}

int CDownloadLoop::Accept(int64_t accountId, const CInboxQueue::CHead& head, const CZelString& path)
{
    try {
        return OpenAndStore(accountId, head, path);
    } catch (const XTOOError& error) {
        m_log.Write(kInboxLogFileError, error.GetText());
    } catch (...) {
        m_log.AddStringEx(kInboxLogUnknownFailure);
    }
    return kReceiveDrop;
}

// Works through one account's queue until it is empty or its head must wait.
CDownloadLoop::EAccountEnd CDownloadLoop::DownloadAccount(int64_t accountId, const CZelServerAddress& server,
                                                          CZelTcpFile& connection)
{
    const CInboxQueue queue(accountId);
    const CMailboxFolder folder(accountId);
    for (;;) {
        if (m_self.IsStopSignalled())
            return EAccountEnd::Stop;
        CInboxQueue::CHead head;
        if (!queue.Head(head))
            return EAccountEnd::Done;
        const CZelString& id = head.messageId;
        if (!IsSafeMessageId(id)) {
            // Never a file name: an empty entry simply goes, anything else is reported.
            if (!id.IsEmpty())
                m_log.Write(kInboxLogBadMessageId, id);
            if (!queue.Remove(id))
                return EAccountEnd::Done;
            continue;
        }
        const RetryKey key{accountId, id.ToStd()};
        if (IsWaiting(key))
            return EAccountEnd::Done;
        const CZelString path = queue.DownloadPath(id);
        int result = kReceiveDrop;
        // Already stored: the queue entry outlived its message (the process ended in between).
        if (folder.IdTable().count(id) == 0) {
            const CInboxFetch fetch{accountId, head.key, head.keyNumber, id, path,
                                    [this] { return m_self.IsStopSignalled(); }};
            result = ReceiveBlocks(fetch, server, connection, m_log);
            CActivityTexts::SetReceiving(CZelString());
            if (m_self.IsStopSignalled())
                return EAccountEnd::Stop;
        }
        if (result == kReceiveLater) {
            if (Postpone(key, path))
                return EAccountEnd::Done;
            result = kReceiveDrop;
        } else if (result == kReceiveComplete) {
            result = Accept(accountId, head, path);
        }
        m_retries.erase(key);
        CZelFile::DeleteFile(path);
        if (!queue.Remove(id))
            return EAccountEnd::Done;
    }
}

// One pass over every account; false when a stop request ended it.
bool CDownloadLoop::RunPass()
{
    const Clock::time_point started = Clock::now();
    CZelTcpFile connection(EErrorMode::Throw);
    const CZelServerAddress server = ConfiguredServerAddress();
    try {
        for (const int64_t accountId : CAccountFile::RegisteredIds()) {
            try {
                if (DownloadAccount(accountId, server, connection) == EAccountEnd::Stop)
                    return false;
            } catch (const XTOOError& error) {
                m_log.AddStringEx(error.GetText() + kInboxLogLineEnd);
            } catch (const std::exception& error) {
                m_log.AddStringEx(CZelString(error.what()) + kInboxLogLineEnd);
            }
        }
    } catch (const XTOOError& error) {
        m_log.AddStringEx(error.GetText() + kInboxLogLineEnd);
    }
    // A wait that was over yet not taken up belongs to a message that left the queue meanwhile.
    for (auto it = m_retries.begin(); it != m_retries.end();)
        it = it->second.due <= started ? m_retries.erase(it) : std::next(it);
    return true;
}

void CDownloadLoop::Run()
{
    CZelEvent& event = CInboxQueue::DownloadEvent();
    event.Signal();
    for (;;) {
        if (m_self.IsStopSignalled())
            return;
        const bool woken = event.Wait(kInboxDownloadPollMs);
        if (!woken && !RetryDue())
            continue;
        if (!RunPass())
            return;
    }
}

} // namespace

void StartPop3Transfers(CZelStartServerThread& self, CProtocolListData& log)
{
    CDownloadLoop loop(self, log);
    loop.Run();
}

void StartPop3Transfers(CZelStartServerThread& self)
{
    StartPop3Transfers(self, Pop3Log());
}
