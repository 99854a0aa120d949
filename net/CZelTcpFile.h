#pragma once
// CZelTcpFile: a blocking TCP connection (or listening server) with time-outs, for protocol
// code written as straight-line calls on its own thread. The socket itself lives on a
// file-socket thread of its own; each call hands the work over through the shared link and
// waits on the link's event until the socket side reports completion, closure, an error or a
// time-out. On a healthy connection the facade moves the bytes itself and waits for readiness
// in the platform, so a busy connection costs no hand-over per call; the socket thread keeps
// the connection's life: connect, accept, peer-close checks, errors and the close.
//
// Error modes: with EErrorMode::Throw, failures throw the stored XTOOSockErr (or
// XTOOSockDnsErr); with EErrorMode::ReturnCodes they give false, -1 or 0 and LastError() tells
// what happened.
//
// One facade is used by one thread at a time. Every call that can wait on the network (Open,
// Listen, Accept, Attach, Read, WaitRead, ReadUntil, Write, and Close or the destructor while
// something is open) must be made without holding the data lock: the socket side takes that
// lock to report progress, so the caller would wait on a socket thread that waits on it.
// Builds without NDEBUG check this at every such call: it prints "CZelTcpFile::<call> called
// while holding the data lock, taken at:" and the lock's holders to standard error, then
// fails an assertion (the program aborts).

#include "foundation/CZelString.h"
#include "foundation/XTOOError.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct CZelTcpFileLink;
class CTlsContext;
class CTlsStream;

class CZelTcpFile {
public:
    // Read time-out word: bit 31 = return as soon as anything arrived; bits 0-30 = ms.
    static constexpr uint32_t kReadAnyData = 0x80000000u;
    static constexpr uint32_t kReadTimeoutMask = 0x7FFFFFFFu;
    static constexpr int kNoTimeout = -1;
    static constexpr int kPushBackLimit = 64 * 1024 * 1024;

    // WaitRead results besides a byte count.
    static constexpr int kWaitTimedOut = -1;
    static constexpr int kWaitNoRead = -2;
    static constexpr int kWaitClosed = -10;
    static constexpr int kWaitNotComplete = -100;

    explicit CZelTcpFile(EErrorMode errorMode = EErrorMode::Throw);
    // Takes over an accepted platform socket (from Accept); in throw mode a failure throws.
    CZelTcpFile(int acceptedHandle, EErrorMode errorMode);
    // The error mode as the older flag (true = throw), for callers not moved yet.
    explicit CZelTcpFile(bool throwErrors) : CZelTcpFile(ErrorModeFromFlag(throwErrors)) {}
    CZelTcpFile(int acceptedHandle, bool throwErrors)
        : CZelTcpFile(acceptedHandle, ErrorModeFromFlag(throwErrors)) {}
    ~CZelTcpFile();
    CZelTcpFile(const CZelTcpFile&) = delete;
    CZelTcpFile& operator=(const CZelTcpFile&) = delete;

    // Connects to "host[:port]" (a port in the text wins), or listens when the text begins
    // with '|': "|" on all addresses at `port`, "|ADDR:PORT" on that address and port, and
    // "|+..." also waits for one connection and becomes that connection. Closes what was open.
    bool Open(const CZelString& hostText, int port);
    // Listens on `address` (0 = all local addresses) and `port` (0 = any; LocalPort() tells
    // which); with acceptOne, waits for one connection and becomes it.
    bool Listen(uint32_t address, int port, bool acceptOne = false, const CZelString& name = CZelString());
    // An accepted platform socket (the caller owns it; hand it to a new CZelTcpFile), or -1
    // after the time-out (-1 = none) or a failure.
    int Accept(int timeoutMs);
    // Makes this facade the connection on an accepted platform socket (which it then owns).
    bool Attach(int acceptedHandle);

    // Up to `count` bytes: all of them, or (with kReadAnyData in the word) whatever arrived
    // first. Returns the count, 0 after the time-out with nothing, -1 when the connection is
    // closed or failed and nothing was left to return.
    int Read(char* buffer, int count, uint32_t timeoutWord, int idleMs = kNoTimeout);
    // Waits for the outstanding read request; its bytes go to the push-back buffer.
    int WaitRead(int timeoutMs);
    // Bytes up to and including the first `delimiter`, at most `maximum`; what came after it
    // stays for the next call. Returns the count (without a delimiter after the time-out, when
    // `maximum` was reached, or when the peer closed after sending them), or -1 when closed.
    // A negative time-out waits without limit; 0 still takes what already arrived.
    int ReadUntil(char* buffer, int maximum, int timeoutMs, const CZelString& delimiter);
    // Sends everything; returns the bytes sent (fewer after a time-out), -1 when not open.
    int Write(const CZelString& bytes, int timeoutMs, int idleMs = kNoTimeout);
    int Write(const char* data, int length, int timeoutMs, int idleMs = kNoTimeout);
    // Upgrades the open connection to TLS as its server side: what was already read and not yet
    // taken is dropped (a client must not send past the command that asked for TLS, and bytes
    // sent in the clear must never pass for protected ones), then the handshake runs within
    // `timeoutMs`. Every later Read, ReadUntil and Write moves protected bytes. False when the
    // handshake failed or timed out (TlsFailureReason() says why); the connection is then of
    // no further use. Never throws for a failed handshake.
    bool StartTlsServer(const CTlsContext& context, int timeoutMs);
    // The same as a client verifying the server as `serverName`.
    bool StartTlsClient(const CTlsContext& context, const std::string& serverName, int timeoutMs);
    bool IsTls() const { return m_tls != nullptr; }
    const std::string& TlsFailureReason() const { return m_tlsFailure; }
    // The protocol agreed ("TLSv1.3"); empty without TLS.
    std::string TlsProtocol() const;

    // Bytes the next Read or ReadUntil returns first.
    bool PushBack(const CZelString& bytes);
    bool PushBack(const char* data, int length);
    bool IsOpen() const;
    void Close();
    // Safe from another thread while the owner is blocked in a call: has the socket side close
    // the connection, so that the blocked call returns at once as on a closed connection (in
    // throw mode with "the connection was stopped"), and every later Open fails. How a worker's
    // stop reaches a request that waits for its peer.
    void Abort();
    bool IsAborted() const;

    uint32_t State() const;
    XTOOError LastError() const;
    EErrorMode ErrorMode() const { return m_errorMode; }
    const CZelString& HostText() const { return m_hostText; }
    int Port() const { return m_port; }
    int LocalPort() const;
    // The peer of the last accepted connection.
    void AcceptedPeer(uint32_t& address, int& port) const;
    int PushedBackBytes() const { return static_cast<int>(m_pushBack.bytes.size() - m_pushBack.start); }
    // Bytes this facade took from and gave to the network since it was made (all connections).
    int64_t BytesReceived() const { return m_bytesReceived; }
    int64_t BytesSent() const { return m_bytesSent; }

    // What the open task makes on the socket side.
    enum class JobKind { Connect, Attach, Listen };

    // The steps of an outgoing connection's opening, in their order.
    enum class OpenStep {
        Resolving,          // on the opening thread: the host is about to be looked up
        Queued,             // on the opening thread: the main socket thread has the making of it
        SocketSideMade,     // on the main socket thread: connect started, not handed to the facade
        Published,          // on the main socket thread: on its own thread and handed to the facade
    };
    // Called at each step of every opening reached from now on (an empty function: none, as
    // in the program), so that a test can stop an opening exactly there.
    static void SetOpenStepObserver(std::function<void(OpenStep)> observer);

private:
    bool Throws() const { return m_errorMode == EErrorMode::Throw; }
    // Stops the program (in builds without NDEBUG) when the calling thread holds the data lock.
    static void CheckMayBlock(const char* call);

    bool StartJob(JobKind kind, const CZelString& name, uint32_t address, int port, int handle);
    bool WaitForSocketSide(uint32_t readyBits, const char* unknownText);
    bool WaitFor(const std::function<bool(const CZelTcpFileLink&)>& ready, int timeoutMs);
    bool OpenListening(const CZelString& text, int port);
    void NewLink();
    template<class E>
    bool Fail(const E& error);
    [[noreturn]] void RaiseStoredOr(const XTOOSockErr& fallback);
    int ClosedResult();
    int NotListening();
    bool IsGone() const;

    int ReadCore(char* buffer, int count, uint32_t timeoutWord, int idleMs);
    int WaitReadCore(int timeoutMs);
    bool PostRead(int count, bool any, int timeoutMs, int idleMs);
    void CollectArrived();
    int HarvestLocked();
    int DirectRecv(char* buffer, int length);
    int DirectSend(const char* data, int length);
    int WaitOnSocket(short events, int64_t untilMs);
    int WriteCore(const char* data, int length, const CZelString* shared, int timeoutMs, int idleMs);
    int WriteThroughSocketSide(const CZelString& rest, int64_t deadline, int idleMs, bool sentBefore);
    // Bytes received and not yet taken: the push-back buffer, and under TLS also the
    // ciphertext not yet decrypted.
    struct ByteQueue {
        std::string bytes;
        size_t start = 0;
        int Take(char* buffer, int count);
        void Append(const char* data, int length);
        void Clear() { bytes.clear(); start = 0; }
    };
    // What the socket path fills and drains: ciphertext under TLS, otherwise the push-back.
    ByteQueue& RawQueue() { return m_tls ? m_cipherIn : m_pushBack; }
    int TakePushBack(char* buffer, int count) { return m_pushBack.Take(buffer, count); }
    int RawReadCore(char* buffer, int count, uint32_t timeoutWord, int idleMs);
    int RawWriteCore(const char* data, int length, const CZelString* shared, int timeoutMs, int idleMs);

    // TLS (CZelTcpFileTls.cpp)
    bool StartTls(std::unique_ptr<CTlsStream> stream, int timeoutMs);
    bool RunHandshake(int timeoutMs);
    bool SendTlsOutput(int64_t deadline, int idleMs);
    int TlsReadCore(char* buffer, int count, uint32_t timeoutWord, int idleMs);
    int TlsWriteCore(const char* data, int length, int timeoutMs, int idleMs);
    void EndTls();

    const EErrorMode m_errorMode;
    std::shared_ptr<CZelTcpFileLink> m_link;
    CZelString m_hostText;
    int m_port = 0;
    bool m_readPending = false;
    ByteQueue m_pushBack;
    ByteQueue m_cipherIn;
    std::unique_ptr<CTlsStream> m_tls;
    std::string m_tlsFailure;
    uint32_t m_acceptedAddress = 0;
    int m_acceptedPort = 0;
    int64_t m_bytesReceived = 0;
    int64_t m_bytesSent = 0;
    // Guards the replacement of m_link against Abort from another thread.
    mutable std::mutex m_linkSwap;
    bool m_aborted = false;
};
