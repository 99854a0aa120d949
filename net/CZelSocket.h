#pragma once
// CZelSocket: one non-blocking platform socket driven by a socket thread. The thread calls the
// virtual handlers when the socket is ready; each handler answers with a change word that
// adjusts what the socket wants next (its interest word in the thread's socket set).
//
// Interest word: 0x01 wants to read (a listening socket: wants to accept), 0x02 wants to
// write, 0x08 connect in progress, 0x10 suspended (no events at all); 0x10000 a peer close was
// seen, 0x20000 a write readiness is pending. A change word sets its bits 0-4 and 16-20 and
// clears, eight places lower, the bits given in 8-12 and 24-28: 0x100 stops reading.

#include "foundation/CZelString.h"

#include <cstdint>

class CZelFdSockets;

namespace zelsock {
inline constexpr uint32_t kWantRead = 0x01;
inline constexpr uint32_t kWantWrite = 0x02;
inline constexpr uint32_t kConnecting = 0x08;
inline constexpr uint32_t kSuspended = 0x10;
inline constexpr uint32_t kPeerCloseSeen = 0x10000;
inline constexpr uint32_t kWritePending = 0x20000;

inline constexpr uint32_t kStopReading = kWantRead << 8;
inline constexpr uint32_t kStopWriting = kWantWrite << 8;
inline constexpr uint32_t kEndConnecting = kConnecting << 8;

inline constexpr uint32_t kSetMask = 0x001F001F;

inline uint32_t ApplyChangeWord(uint32_t interest, uint32_t change)
{
    interest &= ~((change >> 8) & kSetMask);
    return interest | (change & kSetMask);
}
} // namespace zelsock

class CZelSocket {
public:
    static constexpr const char* kUnknownName = "<unknown>";

    CZelSocket();
    // Takes over a platform socket (made non-blocking here).
    explicit CZelSocket(int handle);
    CZelSocket(const CZelSocket&) = delete;
    CZelSocket& operator=(const CZelSocket&) = delete;
    virtual ~CZelSocket();

    // --- handlers, called on the owning socket thread only ---
    virtual int OnRead();                 // default: stop reading
    virtual int OnWrite();                // default: stop writing
    virtual int OnConnected();            // the connect completed; default: no change
    // default: throws XTOOSockErr "Some socket error occured"
    virtual void Notify_Error(int code);
    virtual int OnTimer(int type);        // default: no change
    virtual bool IsTcp() const { return false; }
    virtual CZelString Name() const;

    // Applies a change word to the interest word (through the set that holds the socket).
    virtual void ChangeInterest(uint32_t change);

    // --- platform operations; failures throw XTOOSockErr naming the call and this socket ---
    void Create();
    // Binds to `address` (0 = all local addresses) and `port` (0 = any), reads the result back.
    void Bind(int port, uint32_t address = 0);
    void Listen(int backlog = 128);
    // A pending connection as a new non-blocking platform socket, or -1 when none is waiting.
    int Accept(uint32_t& peerAddress, int& peerPort);
    // Starts a non-blocking connect; true when it completed at once, false while in progress.
    bool Connect(uint32_t address, int port);
    // After the connect event: true when connected, false while still in progress.
    bool ConnectAgain();
    // What the platform takes now; 0 when it would block.
    virtual int Send(const char* data, int length);
    // What is there now: the count, 0 when the peer closed, -1 when it would block.
    virtual int Recv(char* buffer, int length);
    // Looks at one byte without taking it: 1 data, 0 peer closed, -1 would block, -2 an error
    // whose code goes to `error`.
    int PeekOne(int& error);
    void SetOption(int level, int name, int value);
    void GetPeerAddress(uint32_t& address, int& port);
    void GetLocalAddress(uint32_t& address, int& port);
    // The pending platform error of the socket (SO_ERROR), 0 when none.
    int PendingError();

    int Handle() const { return m_handle; }
    bool IsListening() const { return m_listening; }
    uint32_t ConnectAddress() const { return m_connectAddress; }
    int ConnectPort() const { return m_connectPort; }
    uint32_t LocalAddress() const { return m_localAddress; }
    int LocalPort() const { return m_localPort; }
    void SetName(const CZelString& name) { m_name = name; }

    CZelFdSockets* Set() const { return m_set; }
    uint32_t Interest() const;

    // Closes the platform socket (the set must have let it go first).
    void CloseHandle();

private:
    friend class CZelFdSockets;
    [[noreturn]] void Fail(const CZelString& step, int code);

    int m_handle = -1;
    bool m_listening = false;
    uint32_t m_connectAddress = 0;
    int m_connectPort = 0;
    uint32_t m_localAddress = 0;
    int m_localPort = 0;
    CZelString m_name;
    CZelFdSockets* m_set = nullptr;
};
