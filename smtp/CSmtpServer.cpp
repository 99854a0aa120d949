#include "smtp/CSmtpServer.h"

#include "core/CLocalListener.h"
#include "core/CLocalTls.h"
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

CLocalListenerTexts ListenerTexts(CProtocolListData& log)
{
    return {kSmtpLogBadPort, kSmtpLogAccepting, kSmtpLogTooManyAcceptFailures,
            [](const CZelString& failure) { return Format(kSmtpLogListenFailed, failure); },
            [&log](const CZelString& failure) { log.Write(kSmtpLogTextLine, failure); }};
}

void Serve(int handle, CZelStartServerThread& self, const DeskFactory& makeDesk, CProtocolListData& log,
           const CZelString& hostName, bool remotePeer)
{
    try {
        CZelTcpFile connection(handle, EErrorMode::Throw);
        CConnectionStopper stopper(self, connection);
        CTcpLineChannel channel(connection, CLocalTls::ServerContext());
        const std::unique_ptr<ISmtpMailDesk> desk = makeDesk();
        if (!desk)
            return;
        CSmtpSession session(channel, *desk, log, CSmtpSessionOptions{hostName, {}, remotePeer});
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
    CLocalListener listener(self, log, {kSmtpLoopbackAddress, kSmtpAcceptSliceMs, kSmtpAcceptFailureLimit},
                            ListenerTexts(log));
    if (!listener.Open(port))
        return;
    const CZelString hostName = SmtpLocalHostName();
    for (;;) {
        const int handle = listener.AcceptNext();
        if (handle < 0)
            return;
        Serve(handle, self, makeDesk, log, hostName, listener.LastPeerIsRemote());
    }
}

CZelString SmtpLocalHostName()
{
    const CZelString name = ZelLocalHostName();
    return name.IsEmpty() ? CZelString(kSmtpUnknownHost) : name;
}
