#include "net/CZelTcpFile.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelFileSockThread.h"
#include "net/CZelTcpFileConnection.h"
#include "net/CZelTcpFileLink.h"
#include "net/CZelTcpFileMainThread.h"
#include "net/CZelTcpFileServer.h"
#include "net/ZelResolve.h"
#include "net/ZelSockets.h"
#include "tls/CTlsStream.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <unistd.h>

using namespace tcpfile;

namespace {

constexpr const char kNotInitialized[] = "Sockets library is not initialized";
constexpr const char kTaskNotAdded[] = "CZelTcpFile::Open(): task not added";
constexpr const char kOpenUnknown[] = "CZelTcpFile::Open(): Unknown error";
constexpr const char kListenUnknown[] = "CZelTcpFile::Listen(): Unknown error";
constexpr const char kCreateThreadError[] = "Create thread error";
constexpr const char kNotListening[] = "CZelTcpFile::Accept(): not listening";
constexpr const char kAborted[] = "CZelTcpFile: the connection was stopped";
constexpr int kWaitSliceMs = 1000;
constexpr int kCloseBoundMs = 10000;

// What the open task needs to make the socket side on the main thread.
struct SOpenJob {
    CZelTcpFile::JobKind kind = CZelTcpFile::JobKind::Connect;
    std::shared_ptr<CZelTcpFileLink> link;
    CZelString name;
    uint32_t address = 0;
    int port = 0;
    int handle = -1;                // an accepted socket to take over
};

void FailJob(SOpenJob& job, const XTOOError& error, std::exception_ptr thrown)
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    job.link->error = error;
    job.link->thrown = std::move(thrown);
    job.link->Signal(kErrorStored | kClosed);
}

template<class E>
void FailJob(SOpenJob& job, const E& error)
{
    FailJob(job, error, std::make_exception_ptr(error));
}

// The socket object of a job, in a set of the new thread. The set owns it from the start.
CZelTcpSocket* MakeSocketSide(SOpenJob& job, CZelFileSockThread& thread, bool& connectedNow)
{
    CZelFdSockets& set = thread.Sockets();
    connectedNow = false;
    if (job.kind == CZelTcpFile::JobKind::Listen)
        return set.AddSocket(std::make_unique<CZelTcpFileServer>(&thread, job.link, job.name, job.address, job.port), 0);
    if (job.kind == CZelTcpFile::JobKind::Attach) {
        auto connection = std::make_unique<CZelTcpFileConnection>(&thread, job.link, job.handle);
        job.handle = -1;    // the connection closes it from here on
        connectedNow = true;
        return set.AddSocket(std::move(connection), 0);
    }
    auto* connection = set.AddSocket(std::make_unique<CZelTcpFileConnection>(&thread, job.link, job.name), 0);
    connectedNow = connection->StartConnect(job.address, job.port);
    if (!connectedNow)
        set.ChangeInterest(connection, zelsock::kConnecting);
    return connection;
}

// The observer of the opening steps (none unless a test sets one), never destroyed: an opening
// may still be under way on the main socket thread at the process's end.
struct SOpenStepObserver {
    std::mutex lock;
    std::function<void(CZelTcpFile::OpenStep)> observer;
};

SOpenStepObserver& OpenStepObserver()
{
    static auto* observer = new SOpenStepObserver;
    return *observer;
}

void NotifyOpenStep(CZelTcpFile::JobKind kind, CZelTcpFile::OpenStep step)
{
    if (kind != CZelTcpFile::JobKind::Connect)
        return;
    std::function<void(CZelTcpFile::OpenStep)> observer;
    {
        std::lock_guard<std::mutex> hold(OpenStepObserver().lock);
        observer = OpenStepObserver().observer;
    }
    if (observer)
        observer(step);
}

// Hands the socket side to the link and starts its thread. False when the facade gave up on
// the opening first, or when the thread could not start. Under the data lock.
bool PublishLocked(SOpenJob& job, CZelFileSockThread& thread, CZelTcpSocket* socket, bool connectedNow)
{
    CZelTcpFileLink& link = *job.link;
    // An abort that came while the socket side was being made found no thread to close, and
    // the facade has left the opening or is leaving it: published now, the socket side would
    // live on with nobody to end it, and a facade closing at this moment would wait for it
    // until its close bound.
    if (link.state & kClosed)
        return false;
    link.thread = &thread;
    link.localAddress = socket->LocalAddress();
    link.localPort = socket->LocalPort();
    if (job.kind == CZelTcpFile::JobKind::Listen) {
        auto* server = static_cast<CZelTcpFileServer*>(socket);
        link.server = server;
        server->AnnounceListening();
    } else {
        auto* connection = static_cast<CZelTcpFileConnection*>(socket);
        link.connection = connection;
        if (connectedNow)
            connection->MarkConnected();
    }
    ZelAddFileSockThreadLocked(&thread);
    if (!thread.Start()) {
        ZelRemoveFileSockThreadLocked(&thread);
        link.StoreError(XTOOSockErr::WithMessage(CZelString(kCreateThreadError)));
        return false;
    }
    link.Signal(kCreated);
    return true;
}

// Runs on the main thread: a file-socket thread with the connection or server in its set.
void RunOpenJob(void* argument, CZelTcpFileMainThread* main)
{
    std::unique_ptr<SOpenJob> job(static_cast<SOpenJob*>(argument));
    struct HandleCloser {
        SOpenJob& job;
        ~HandleCloser() { if (job.handle >= 0) ::close(job.handle); }
    } closer{*job};

    if (!main) {
        FailJob(*job, XTOOSockErr::WithMessage(CZelString(kNotInitialized)));
        return;
    }
    std::unique_ptr<CZelFileSockThread> thread;
    CZelTcpSocket* socket = nullptr;
    bool connectedNow = false;
    try {
        thread = std::make_unique<CZelFileSockThread>(main);
        socket = MakeSocketSide(*job, *thread, connectedNow);
    } catch (const XTOOSockErr& error) {
        FailJob(*job, error);
        return;
    } catch (const std::bad_alloc&) {
        FailJob(*job, XTOOSockErr::WithMessage(CZelString(kMemoryAllocationError)));
        return;
    }
    NotifyOpenStep(job->kind, CZelTcpFile::OpenStep::SocketSideMade);

    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (!PublishLocked(*job, *thread, socket, connectedNow)) {
            thread.reset();     // its socket leaves the link as closed, if it was published
            return;
        }
    }
    thread.release();           // the main thread reaps it when it ends
    NotifyOpenStep(job->kind, CZelTcpFile::OpenStep::Published);
}

} // namespace

CZelTcpFile::CZelTcpFile(EErrorMode errorMode) : m_errorMode(errorMode) {}

CZelTcpFile::CZelTcpFile(int acceptedHandle, EErrorMode errorMode) : m_errorMode(errorMode)
{
    Attach(acceptedHandle);
}

CZelTcpFile::~CZelTcpFile()
{
    try {
        Close();
    } catch (...) {
    }
}

void CZelTcpFile::CheckMayBlock(const char* call)
{
#ifndef NDEBUG
    CZelWin32Locker& dataLock = ZelDataLock();
    if (!dataLock.IsHeldByCallingThread())
        return;
    std::fprintf(stderr, "CZelTcpFile::%s called while holding the data lock, taken at:\n%s", call,
                 dataLock.HolderList().Ptr());
    std::fflush(stderr);
    assert(!"a blocking CZelTcpFile call under the data lock");
#else
    (void)call;
#endif
}

void CZelTcpFile::NewLink()
{
    auto link = std::make_shared<CZelTcpFileLink>();
    {
        std::lock_guard<std::mutex> guard(m_linkSwap);
        m_link = std::move(link);
    }
    m_readPending = false;
}

void CZelTcpFile::Abort()
{
    std::shared_ptr<CZelTcpFileLink> link;
    {
        std::lock_guard<std::mutex> guard(m_linkSwap);
        m_aborted = true;
        link = m_link;
    }
    if (!link)
        return;
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    link->StoreError(XTOOSockErr::WithMessage(CZelString(kAborted)));
    link->state |= kClosed;
    // Both kinds of waiter: on the link's event and on the socket itself.
    link->event.Signal();
    link->WakeDirectWaiters();
    if (link->thread)
        CZelSockThread::PostCommand(link->thread, SCmd{kSockCmdCustom, CZelFileSockThread::kCloseCommand});
}

void CZelTcpFile::SetOpenStepObserver(std::function<void(OpenStep)> observer)
{
    std::lock_guard<std::mutex> hold(OpenStepObserver().lock);
    OpenStepObserver().observer = std::move(observer);
}

bool CZelTcpFile::IsAborted() const
{
    std::lock_guard<std::mutex> guard(m_linkSwap);
    return m_aborted;
}

template<class E>
bool CZelTcpFile::Fail(const E& error)
{
    if (!m_link)
        NewLink();
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        m_link->state |= kClosed;
        if (Throws()) {
            m_link->ClearError();
        } else {
            m_link->StoreError(error);
        }
    }
    if (Throws())
        throw error;
    return false;
}

void CZelTcpFile::RaiseStoredOr(const XTOOSockErr& fallback)
{
    std::exception_ptr stored;
    if (m_link) {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        stored = m_link->thrown;
        m_link->ClearError();
    }
    if (stored)
        std::rethrow_exception(stored);
    throw fallback;
}

// The result of an operation on a connection that is closed or failed.
int CZelTcpFile::ClosedResult()
{
    if (Throws())
        RaiseStoredOr(XTOOSockErr("CZelTcpFile:", nullptr, CZelString(), kSockErrClosedByPeer));
    return -1;
}

bool CZelTcpFile::IsGone() const
{
    if (!m_link)
        return true;
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return (m_link->state & kGone) || (!m_link->connection && !m_link->server);
}

bool CZelTcpFile::WaitFor(const std::function<bool(const CZelTcpFileLink&)>& ready, int timeoutMs)
{
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : ZelTickMs() + timeoutMs;
    for (;;) {
        int64_t left;
        {
            CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
            if (ready(*m_link))
                return true;
            left = deadline - ZelTickMs();
            if (left <= 0)
                return false;
            // Under the lock: a signal from the socket side comes after this reset.
            m_link->event.Reset();
        }
        m_link->event.Wait(static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
    }
}

bool CZelTcpFile::StartJob(JobKind kind, const CZelString& name, uint32_t address, int port, int handle)
{
    auto job = std::make_unique<SOpenJob>();
    job->kind = kind;
    job->link = m_link;
    job->name = name;
    job->address = address;
    job->port = port;
    job->handle = handle;
    if (IsAborted()) {
        if (handle >= 0)
            ::close(handle);
        return Fail(XTOOSockErr::WithMessage(CZelString(kAborted)));
    }
    if (!SocketsInitialized()) {
        if (handle >= 0)
            ::close(handle);
        return Fail(XTOOSockErr::WithMessage(CZelString(kNotInitialized)));
    }
    if (!CZelTcpFileMainThread::AddTask(&RunOpenJob, job.get())) {
        if (handle >= 0)
            ::close(handle);
        return Fail(XTOOSockErr::WithMessage(CZelString(kTaskNotAdded)));
    }
    job.release();      // the task owns it now
    NotifyOpenStep(kind, OpenStep::Queued);
    return true;
}

// Waits until the socket side exists, then until it is ready (connected or listening) or
// gone. No time limit of its own: a connect ends when the platform ends it.
bool CZelTcpFile::WaitForSocketSide(uint32_t readyBits, const char* unknownText)
{
    WaitFor([](const CZelTcpFileLink& link) { return (link.state & (kCreated | kClosed)) != 0; }, -1);
    WaitFor([readyBits](const CZelTcpFileLink& link) { return (link.state & (readyBits | kGone)) != 0; }, -1);
    std::exception_ptr stored;
    XTOOError error;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if ((m_link->state & readyBits) && !(m_link->state & kGone))
            return true;
        stored = m_link->thrown;
        error = m_link->error;
        if (Throws())
            m_link->ClearError();
    }
    if (!stored)
        return Fail(XTOOSockErr::WithMessage(CZelString(unknownText)));
    if (Throws())
        std::rethrow_exception(stored);
    return false;
}

bool CZelTcpFile::Open(const CZelString& hostText, int port)
{
    CheckMayBlock("Open()");
    Close();
    if (hostText[0] == '|')
        return OpenListening(hostText, port);
    m_hostText = hostText;
    m_port = port;
    NewLink();
    CZelString host;
    int connectPort = port;
    ZelSplitHostPort(hostText, host, connectPort);
    if (!SocketsInitialized())
        return Fail(XTOOSockErr::WithMessage(CZelString(kNotInitialized)));
    uint32_t address = 0;
    NotifyOpenStep(JobKind::Connect, OpenStep::Resolving);
    try {
        // Resolved here, on the caller's thread, so that a slow lookup holds up no one else.
        address = ZelResolveFirst(host, Format("Connection to %S", hostText));
    } catch (const XTOOSockDnsErr& error) {
        return Fail(error);
    }
    if (!StartJob(JobKind::Connect, hostText, address, connectPort, -1))
        return false;
    return WaitForSocketSide(kConnected, kOpenUnknown);
}

// "|" ["+"] [address] [":" port]
bool CZelTcpFile::OpenListening(const CZelString& text, int port)
{
    m_hostText = text;
    m_port = port;
    CZelString rest = text.Mid(1);
    const bool takeOver = rest[0] == '+';
    if (takeOver)
        rest = rest.Mid(1);
    CZelString addressText = rest;
    int listenPort = port;
    if (!rest.IsEmpty() && !ZelSplitHostPort(rest, addressText, listenPort) && rest.Find(':') >= 0)
        return Fail(XTOOSockErr::WithMessage(Format("CZelTcpFile::Open(): bad listening address \"%S\"", text)));
    uint32_t address = 0;
    if (!addressText.IsEmpty() && !ZelParseDottedIPv4(addressText, address))
        return Fail(XTOOSockErr::WithMessage(Format("CZelTcpFile::Open(): bad listening address \"%S\"", text)));
    return Listen(address, listenPort, takeOver);
}

bool CZelTcpFile::Listen(uint32_t address, int port, bool acceptOne, const CZelString& name)
{
    CheckMayBlock("Listen()");
    const CZelString hostText = m_hostText;
    Close();
    m_hostText = hostText;
    m_port = port;
    NewLink();
    if (!StartJob(JobKind::Listen, name, address, port, -1))
        return false;
    if (!WaitForSocketSide(kConnected, kListenUnknown))
        return false;
    if (!acceptOne)
        return true;
    const int accepted = Accept(kNoTimeout);
    if (accepted < 0)
        return false;
    return Attach(accepted);
}

int CZelTcpFile::Accept(int timeoutMs)
{
    CheckMayBlock("Accept()");
    bool posted = false;
    if (m_link) {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (m_link->server) {
            CZelTcpFileLink::AcceptRequest& accept = m_link->accept;
            if (accept.handle >= 0)
                ::close(accept.handle);     // never collected
            accept = CZelTcpFileLink::AcceptRequest{};
            accept.active = true;
            accept.timeoutMs = timeoutMs;
            m_link->state &= ~kComplete;
            m_link->server->PostAccept();
            posted = true;
        }
    }
    if (!posted)
        return NotListening();
    // The server's own time-out ends the request; without one it waits for a connection or
    // for the server to go.
    WaitFor([](const CZelTcpFileLink& link) { return !link.accept.active; }, -1);
    int handle;
    bool failed;
    bool serverGone;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        handle = m_link->accept.handle;
        m_link->accept.handle = -1;
        m_acceptedAddress = m_link->accept.peerAddress;
        m_acceptedPort = m_link->accept.peerPort;
        serverGone = !m_link->server;
        failed = (m_link->state & kErrorStored) || serverGone;
        // A failed accept leaves the listener usable: the error is told once.
        if (failed && !serverGone && !Throws())
            m_link->state &= ~kErrorStored;
    }
    if (handle >= 0 || !failed)
        return handle;
    return serverGone ? NotListening() : ClosedResult();
}

int CZelTcpFile::NotListening()
{
    if (Throws())
        RaiseStoredOr(XTOOSockErr::WithMessage(CZelString(kNotListening)));
    return -1;
}

bool CZelTcpFile::Attach(int acceptedHandle)
{
    CheckMayBlock("Attach()");
    Close();
    m_hostText = CZelString();
    m_port = 0;
    NewLink();
    if (acceptedHandle < 0)
        return Fail(XTOOSockErr::WithMessage(CZelString("CZelTcpFile: no socket to take over")));
    if (!StartJob(JobKind::Attach, CZelString(), 0, 0, acceptedHandle))
        return false;
    return WaitForSocketSide(kConnected, kOpenUnknown);
}

bool CZelTcpFile::IsOpen() const
{
    if (!m_link)
        return false;
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return (m_link->connection || m_link->server) && !(m_link->state & kGone);
}

void CZelTcpFile::Close()
{
    m_pushBack.Clear();
    EndTls();
    m_readPending = false;
    if (!m_link)
        return;
    CheckMayBlock("Close()");
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (m_link->thread)
            CZelSockThread::PostCommand(m_link->thread, SCmd{kSockCmdCustom, CZelFileSockThread::kCloseCommand});
    }
    WaitFor([](const CZelTcpFileLink& link) { return !link.connection && !link.server; }, kCloseBoundMs);
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (m_link->accept.handle >= 0 && !m_link->accept.active) {
            ::close(m_link->accept.handle);
            m_link->accept.handle = -1;
        }
    }
    std::lock_guard<std::mutex> guard(m_linkSwap);
    m_link.reset();
}

uint32_t CZelTcpFile::State() const
{
    if (!m_link)
        return 0;
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return m_link->state;
}

XTOOError CZelTcpFile::LastError() const
{
    if (!m_link)
        return XTOOError();
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return m_link->error;
}

int CZelTcpFile::LocalPort() const
{
    if (!m_link)
        return 0;
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return m_link->localPort;
}

void CZelTcpFile::AcceptedPeer(uint32_t& address, int& port) const
{
    address = m_acceptedAddress;
    port = m_acceptedPort;
}
