#include "pop3/CPop3Server.h"

#include "core/CLocalListener.h"
#include "core/CLocalTls.h"
#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "net/CTcpLineChannel.h"
#include "net/CZelTcpFile.h"
#include "net/ZelResolve.h"
#include "pop3/CPop3Session.h"
#include "pop3/IPop3Desk.h"
#include "protocol/ZelPop3Texts.h"

#include <atomic>
#include <exception>
#include <list>
#include <mutex>
#include <thread>

namespace {

// A connection turned away gets its one line within this time or not at all.
constexpr int kTurnAwayWriteTimeoutMs = 1000;

void LogFailure(CProtocolListData& log, const CZelString& text)
{
    if (text.IsEmpty())
        log.Write(kPop3LogError);
    else
        log.Write(kPop3LogTextLine, text);
}

// One accepted connection and the thread that serves it. The listener owns it and may abort
// its connection from its own thread at any time; the connection object lives until the
// listener has joined the thread.
class CPop3Connection {
public:
    CPop3Connection(int handle, const Pop3DeskFactory& makeDesk, CProtocolListData& log, const CZelString& hostName,
                    bool remotePeer)
        : m_handle(handle), m_makeDesk(makeDesk), m_log(log), m_hostName(hostName), m_remotePeer(remotePeer),
          m_thread([this] { Serve(); })
    {
    }
    ~CPop3Connection() { m_thread.join(); }
    CPop3Connection(const CPop3Connection&) = delete;
    CPop3Connection& operator=(const CPop3Connection&) = delete;

    bool Ended() const { return m_ended.load(); }

    // Makes the session's blocked read or write return at once; a session not started yet
    // does not start.
    void Stop()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_stopped = true;
        if (m_connection)
            m_connection->Abort();
    }

private:
    void Serve()
    {
        try {
            CZelTcpFile connection(m_handle, EErrorMode::Throw);
            if (Attach(&connection))
                RunSession(connection);
            Attach(nullptr);
        } catch (const XTOOBaseError& error) {
            Attach(nullptr);
            LogFailure(m_log, error.GetText());
        } catch (const std::exception& error) {
            Attach(nullptr);
            LogFailure(m_log, CZelString(error.what()));
        }
        m_ended = true;
    }

    // Lets Stop reach the connection (null: no more); false when the stop came first.
    bool Attach(CZelTcpFile* connection)
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_connection = m_stopped ? nullptr : connection;
        return !m_stopped;
    }

    void RunSession(CZelTcpFile& connection)
    {
        const std::unique_ptr<IPop3Desk> desk = m_makeDesk();
        if (!desk)
            return;
        CTcpLineChannel channel(connection, CLocalTls::ServerContext());
        CPop3Session session(channel, *desk, m_log, CPop3SessionOptions{m_hostName, m_remotePeer});
        session.Run();
    }

    const int m_handle;
    const Pop3DeskFactory& m_makeDesk;
    CProtocolListData& m_log;
    const CZelString m_hostName;
    const bool m_remotePeer;
    std::mutex m_mutex;
    CZelTcpFile* m_connection = nullptr;   // guarded by m_mutex
    bool m_stopped = false;                // guarded by m_mutex
    std::atomic<bool> m_ended{false};
    std::thread m_thread;   // last: starts when everything it uses is made
};

class CPop3Connections {
public:
    ~CPop3Connections() { StopAll(); }

    size_t Count() const { return m_live.size(); }

    void Start(int handle, const Pop3DeskFactory& makeDesk, CProtocolListData& log, const CZelString& hostName,
               bool remotePeer)
    {
        m_live.push_back(std::make_unique<CPop3Connection>(handle, makeDesk, log, hostName, remotePeer));
    }

    // Joins and frees every connection whose session has ended.
    void Reap()
    {
        m_live.remove_if([](const std::unique_ptr<CPop3Connection>& connection) { return connection->Ended(); });
    }

    void StopAll()
    {
        for (const auto& connection : m_live)
            connection->Stop();
        m_live.clear();
    }

private:
    std::list<std::unique_ptr<CPop3Connection>> m_live;
};

CLocalListenerTexts ListenerTexts(CProtocolListData& log)
{
    return {kPop3LogBadPort, kPop3LogAccepting, kPop3LogTooManyAcceptFailures,
            [](const CZelString& failure) { return Format(kPop3LogListenFailed, kPop3ListenFailureNumber, failure); },
            [&log](const CZelString& failure) { LogFailure(log, failure); }};
}

void TurnAway(int handle, CProtocolListData& log)
{
    log.Write(kPop3LogTooManySessions);
    try {
        CZelTcpFile connection(handle, EErrorMode::ReturnCodes);
        connection.Write(CZelString(kPop3ReplyTooManySessions), kTurnAwayWriteTimeoutMs);
    } catch (const XTOOBaseError& error) {
        LogFailure(log, error.GetText());
    }
}

} // namespace

void RunPop3Server(int32_t port, CZelStartServerThread& self, Pop3DeskFactory makeDesk)
{
    RunPop3Server(port, self, std::move(makeDesk), Pop3Log());
}

void RunPop3Server(int32_t port, CZelStartServerThread& self, Pop3DeskFactory makeDesk, CProtocolListData& log)
{
    CLocalListener listener(self, log, {kPop3LoopbackAddress, kPop3AcceptSliceMs, kPop3AcceptFailureLimit},
                            ListenerTexts(log));
    if (!listener.Open(port))
        return;
    const CZelString hostName = ZelLocalHostName();
    // Declared after the desk factory and the listener: the sessions end before either goes.
    CPop3Connections live;
    for (;;) {
        const int handle = listener.AcceptNext([&live] { live.Reap(); });
        if (handle < 0)
            break;
        live.Reap();
        if (live.Count() >= static_cast<size_t>(kPop3SessionLimit))
            TurnAway(handle, log);
        else
            live.Start(handle, makeDesk, log, hostName, listener.LastPeerIsRemote());
    }
    listener.Close();
    live.StopAll();
}
