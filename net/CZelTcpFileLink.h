#pragma once
// CZelTcpFileLink: the state a blocking connection facade (CZelTcpFile) shares with the
// connection or server object it drives on a socket thread. Both sides hold it, so neither
// outlives the other's view of it. Every field is read and changed under the data lock, except
// the two noted below.

#include "foundation/CZelEvent.h"
#include "foundation/CZelString.h"
#include "foundation/XTOOError.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>

class CZelSockThread;
class CZelTcpFileConnection;
class CZelTcpFileServer;

namespace tcpfile {
// State word bits.
inline constexpr uint32_t kReadDone = 0x01;
inline constexpr uint32_t kWriteProgress = 0x02;
inline constexpr uint32_t kPeerClosed = 0x04;
inline constexpr uint32_t kErrorStored = 0x08;
inline constexpr uint32_t kClosed = 0x10;
inline constexpr uint32_t kConnected = 0x20;
inline constexpr uint32_t kCreated = 0x80;
inline constexpr uint32_t kReadTimedOut = 0x100;
inline constexpr uint32_t kWriteTimedOut = 0x200;
inline constexpr uint32_t kComplete = 0x1000;
inline constexpr uint32_t kGone = kPeerClosed | kErrorStored | kClosed;

inline constexpr int kReadBufferSize = 102400;
inline constexpr int kRecvPiece = 131072;
inline constexpr int kSendPiece = 1048576;
inline constexpr int kNoTimeout = -1;
} // namespace tcpfile

struct CZelTcpFileLink {
    struct ReadRequest {
        bool active = false;        // being served by the connection
        bool any = false;           // complete at the first bytes
        int count = 0;
        int got = 0;                // bytes in the buffer
        int taken = 0;              // bytes the facade already moved out
        int timeoutMs = tcpfile::kNoTimeout;
        int idleMs = tcpfile::kNoTimeout;
        int64_t deadlineMs = 0;     // set by the connection when it starts the request
    };
    struct WriteRequest {
        bool active = false;
        CZelString bytes;
        int sent = 0;
        int timeoutMs = tcpfile::kNoTimeout;
        int idleMs = tcpfile::kNoTimeout;
        int64_t deadlineMs = 0;
    };
    struct AcceptRequest {
        bool active = false;
        int timeoutMs = tcpfile::kNoTimeout;
        int handle = -1;            // the accepted socket, until the facade collects it
        uint32_t peerAddress = 0;
        int peerPort = 0;
    };

    CZelTcpFileLink();
    ~CZelTcpFileLink();
    CZelTcpFileLink(const CZelTcpFileLink&) = delete;
    CZelTcpFileLink& operator=(const CZelTcpFileLink&) = delete;

    // Tells a facade that waits on the platform socket itself that the socket side is gone:
    // the wake handle stays readable from then on. Called before the socket is closed.
    void WakeDirectWaiters();

    // Sets state bits and wakes the facade. Under the data lock.
    void Signal(uint32_t bits)
    {
        state |= bits;
        event.Signal();
    }

    // Keeps the error with its own type, so that throwing it later throws the same kind.
    template<class E>
    void StoreError(const E& error)
    {
        this->error = error;
        thrown = std::make_exception_ptr(error);
        state |= tcpfile::kErrorStored;
    }
    void ClearError()
    {
        error.Clear();
        thrown = nullptr;
        state &= ~tcpfile::kErrorStored;
    }

    CZelEvent event{true, false};
    uint32_t state = 0;
    XTOOError error;
    std::exception_ptr thrown;

    // The object on the socket side and its thread; null once it is gone.
    CZelSockThread* thread = nullptr;
    CZelTcpFileConnection* connection = nullptr;
    CZelTcpFileServer* server = nullptr;

    // Where the socket side is bound, for the facade's callers.
    uint32_t localAddress = 0;
    int localPort = 0;

    ReadRequest read;
    // The connection writes only past read.got while a request is active; the facade reads
    // only below it. Made with the first request: most reads never need it.
    std::unique_ptr<char[]> readBuffer;
    WriteRequest write;
    AcceptRequest accept;

    // The platform socket for the facade's own non-blocking reads and writes while no request
    // is active. Guarded by handleLock alone (taken after the data lock, never before it), so
    // that the socket is never closed under a facade call.
    std::mutex handleLock;
    int handle = -1;
    // Readable once the socket side is gone (an event descriptor; -1 if none could be had,
    // and then the facade waits in slices instead).
    int wakeHandle = -1;
};
