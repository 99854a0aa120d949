#include "smtp/CSmtpTransfers.h"

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
#include "protocol/CSessionKeyFile.h"
#include "protocol/ZelSmtpTexts.h"
#include "smtp/COutbox.h"
#include "smtp/COutboxUpload.h"

#include <exception>

namespace {

// The pause after an upload that got no verdict. VELMO_UPLOAD_RETRY_MS (milliseconds, 1 to the
// default) shortens it, for tests that take the central server down and bring it back.
int RetryPauseMs()
{
    static const int pause = EnvironmentPauseMs(kSmtpRetryPauseVariable, kSmtpRetryPauseMs);
    return pause;
}

constexpr char kLockLabel[] = "StartSmtpTransfers()";

// The data lock, taken and let go around each upload; let go on every way out.
class CPassLock {
public:
    CPassLock() { Take(); }
    ~CPassLock()
    {
        if (m_held)
            ZelDataLock().UnLock(kLockLabel, __LINE__);
    }
    CPassLock(const CPassLock&) = delete;
    CPassLock& operator=(const CPassLock&) = delete;

    void Take()
    {
        ZelDataLock().Lock(kLockLabel, __LINE__);
        m_held = true;
    }
    void EnsureHeld()
    {
        if (!m_held)
            Take();
    }
    void Release()
    {
        m_held = false;
        ZelDataLock().UnLock(kLockLabel, __LINE__);
    }

private:
    bool m_held = false;
};

// After a file is done with: its use of the key ends; the key file goes with its last use
// unless a session still holds it.
void ReleaseKeyUse(const CZelString& keyPath)
{
    CZelXmlDocument key;
    if (!CSessionKeyFile::Load(keyPath, key))
        return;
    const int64_t uses = CSessionKeyFile::UseCount(key);
    const int64_t left = uses < 2 ? 0 : uses - 1;
    key.RootElement().SetAttr(CSessionKeyFile::kSessionKeyUseCount, Format("%D", left));
    if (left == 0 && !CSessionKeyFile::IsLocked(key))
        CZelFile::DeleteFile(keyPath);
    else
        CSessionKeyFile::Save(keyPath, key);
}

enum class EAccountEnd { Done, Stop };

// Uploads one account's queued files in number order (the data lock held on entry and exit).
EAccountEnd UploadAccount(int64_t accountId, CPassLock& lock, CZelStartServerThread& self)
{
    const CZelString keyPath = CSessionKeyFile::OutboxPath(accountId);
    CZelXmlDocument key;
    if (!CSessionKeyFile::Load(keyPath, key)) {
        CZelFile::DeleteFile(keyPath);
        return EAccountEnd::Done;
    }
    const std::vector<COutboxFile> files = COutbox::QueuedFiles(accountId);
    if (files.empty() && !CSessionKeyFile::IsLocked(key))
        CZelFile::DeleteFile(keyPath);
    for (const COutboxFile& file : files) {
        const CZelString sessionKey = CSessionKeyFile::Key(key);
        const int64_t keyNumber = CSessionKeyFile::KeyNumber(key);
        lock.Release();
        const int result =
            eMessageIsSent(accountId, sessionKey, keyNumber, file.path, file.listPath, ConfiguredServerAddress(), &SmtpLog());
        if (result != kUploadSent)
            CActivityTexts::SetSending(CZelString());
        if (result == kUploadRetry) {
            const bool stop = self.StopEvent().Wait(RetryPauseMs());
            lock.Take();
            if (stop)
                return EAccountEnd::Stop;
            // The file waits for the next pass, which must come without a new message.
            COutbox::Event().Signal();
            return EAccountEnd::Done;
        }
        lock.Take();
        CZelFile::DeleteFile(file.path);
        CZelFile::DeleteFile(file.listPath);
        ReleaseKeyUse(keyPath);
        if (!CSessionKeyFile::Load(keyPath, key))
            break;
    }
    return EAccountEnd::Done;
}

// One pass over every account; false when a stop request ended it.
bool RunPass(CZelStartServerThread& self)
{
    CPassLock lock;
    COutbox::Event().Reset();
    for (const int64_t accountId : CAccountFile::RegisteredIds()) {
        try {
            if (UploadAccount(accountId, lock, self) == EAccountEnd::Stop)
                return false;
        } catch (const XTOOError& error) {
            lock.EnsureHeld();
            SmtpLog().AddStringEx(error.GetText() + kSmtpLogLineEnd);
        } catch (const std::exception& error) {
            lock.EnsureHeld();
            SmtpLog().AddStringEx(CZelString(error.what()) + kSmtpLogLineEnd);
        }
    }
    return true;
}

} // namespace

void StartSmtpTransfers(CZelStartServerThread& self)
{
    COutbox::Event().Signal();
    for (;;) {
        if (self.IsStopSignalled())
            return;
        if (!COutbox::Event().Wait(kSmtpOutboxPollMs))
            continue;
        if (!RunPass(self))
            return;
    }
}
