#include "smtp/CSmtpServer.h"

#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"
#include "net/ZelResolve.h"
#include "protocol/ZelSmtpTexts.h"
#include "smtp/CSmtpSession.h"
#include "net/CTcpLineChannel.h"
#include "smtp/ISmtpMailDesk.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace {

// While a session runs, watches the server thread's stop request and, when it comes, aborts
// the connection so that the session's blocked read returns at once.
class CConnectionStopper {
public:
    CConnectionStopper(CZelStartServerThread& owner, CZelTcpFile& connection)
        : m_watcher([this, &owner, &connection] { Watch(owner, connection); })
    {
    }
    ~CConnectionStopper()
    {
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_watcher.join();
    }
    CConnectionStopper(const CConnectionStopper&) = delete;
    CConnectionStopper& operator=(const CConnectionStopper&) = delete;

private:
    void Watch(CZelStartServerThread& owner, CZelTcpFile& connection)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        while (!m_wake.wait_for(hold, std::chrono::milliseconds(kSmtpAcceptSliceMs), [this] { return m_done; })) {
            if (owner.IsStopSignalled()) {
                connection.Abort();
                return;
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_watcher;   // last: starts when everything it uses is made
};

// Writes a failure the user must see to the log and, without a window, to standard error.
void ReportServerFailure(CProtocolListData& log, const CZelString& line)
{
    log.AddStringEx(line, CProtocolListData::KindColours(1));
    CZelString text = line;
    text.Replace("\n", "");
    CZelStartServerThread::ReportError(text);
}

bool OpenListener(CZelTcpFile& listener, int32_t port, CZelStartServerThread& self, CProtocolListData& log)
{
    const uint32_t address = CZelStartServerThread::ListensOnAnyAddress() ? 0 : kSmtpLoopbackAddress;
    CZelString failure;
    try {
        if (listener.Listen(address, port))
            return true;
        failure = listener.LastError().GetText();
    } catch (const XTOOBaseError& error) {
        failure = error.GetText();
    } catch (const std::exception& error) {
        failure = CZelString(error.what());
    }
    // A program stopped while it starts takes the socket library down under a listen in
    // progress: that is the stop, not a failure the user must hear of.
    if (!self.IsStopSignalled())
        ReportServerFailure(log, Format(kSmtpLogListenFailed, failure));
    return false;
}

// The next connection's socket; -1 when the server is to end (stop request, too many failures).
int AcceptNext(CZelTcpFile& listener, CZelStartServerThread& self, CProtocolListData& log, int& failures)
{
    while (!self.IsStopSignalled()) {
        try {
            const int handle = listener.Accept(kSmtpAcceptSliceMs);
            if (handle >= 0)
                return handle;
        } catch (const XTOOBaseError& error) {
            log.Write(kSmtpLogTextLine, error.GetText());
            if (++failures >= kSmtpAcceptFailureLimit) {
                ReportServerFailure(log, CZelString(kSmtpLogTooManyAcceptFailures));
                return -1;
            }
        }
    }
    return -1;
}

void Serve(int handle, CZelStartServerThread& self, const DeskFactory& makeDesk, CProtocolListData& log,
           const CZelString& hostName)
{
    try {
        CZelTcpFile connection(handle, EErrorMode::Throw);
        CConnectionStopper stopper(self, connection);
        CTcpLineChannel channel(connection);
        const std::unique_ptr<ISmtpMailDesk> desk = makeDesk();
        if (!desk)
            return;
        CSmtpSession session(channel, *desk, log, CSmtpSessionOptions{hostName, {}});
        session.Run();
    } catch (const XTOOBaseError& error) {
        log.Write(kSmtpLogTextLine, error.GetText());
    } catch (const std::exception& error) {
        log.Write(kSmtpLogTextLine, CZelString(error.what()));
    } catch (...) {
        log.Write(kSmtpLogUnknownError);
    }
}

} // namespace

void RunSmtpServer(int32_t port, CZelStartServerThread& self, DeskFactory makeDesk)
{
    RunSmtpServer(port, self, std::move(makeDesk), SmtpLog());
}

void RunSmtpServer(int32_t port, CZelStartServerThread& self, DeskFactory makeDesk, CProtocolListData& log)
{
    if (port < 1 || port > 65535) {
        ReportServerFailure(log, Format(kSmtpLogBadPort, port));
        return;
    }
    CZelTcpFile listener(EErrorMode::Throw);
    if (!OpenListener(listener, port, self, log))
        return;
    const CZelString hostName = SmtpLocalHostName();
    int failures = 0;
    while (!self.IsStopSignalled()) {
        log.Write(kSmtpLogAccepting, port);
        const int handle = AcceptNext(listener, self, log, failures);
        if (handle < 0)
            return;
        Serve(handle, self, makeDesk, log, hostName);
    }
}

CZelString SmtpLocalHostName()
{
    const CZelString name = ZelLocalHostName();
    return name.IsEmpty() ? CZelString(kSmtpUnknownHost) : name;
}
