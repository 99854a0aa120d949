#pragma once
// CZelTcpSocket: a TCP socket with its byte counters, simple traffic statistics and a timer
// that notices a peer close while nobody reads.

#include "net/CZelConnectionInTimeCharacteristics.h"
#include "net/CZelSocket.h"
#include "net/CZelSocketTimer.h"

#include <cstdint>

class CZelSockThread;

class CZelTcpSocket : public CZelSocket {
public:
    // Checks the connection for a peer close: nothing there (would block) is fine, data calls
    // the read handler, a close reports error 9999 through Notify_Error.
    class CCloseTimer : public CZelSocketTimer {
    public:
        CCloseTimer(CZelSockThread* thread, CZelTcpSocket* owner);
        void OnTimer(int64_t dueMs) override;

    private:
        CZelTcpSocket* m_owner;
    };

    static constexpr int64_t kCloseCheckPeriodUs = 1000 * 1000;

    explicit CZelTcpSocket(CZelSockThread* thread);
    CZelTcpSocket(CZelSockThread* thread, int handle);     // takes over an accepted socket
    ~CZelTcpSocket() override;

    bool IsTcp() const override { return true; }
    int Send(const char* data, int length) override;
    int Recv(char* buffer, int length) override;

    // Counts bytes moved past the socket by someone else (the facade's own fast path).
    void CountSent(int64_t bytes);
    void CountReceived(int64_t bytes);

    int64_t BytesSent() const { return m_sent.Total(); }
    int64_t BytesReceived() const { return m_received.Total(); }
    const CZelConnectionInTimeCharacteristics& SendStatistics() const { return m_sent; }
    const CZelConnectionInTimeCharacteristics& ReceiveStatistics() const { return m_received; }

    virtual void ResetStatistics();
    virtual void StatisticsTick(int64_t nowMs);
    virtual void SetUpStatistics();
    virtual void ReleaseStatistics();

    void StartCloseCheck(int64_t periodUs = kCloseCheckPeriodUs);
    void StopCloseCheck();
    CZelSockThread* Thread() const { return m_thread; }

private:
    void CheckPeerClose();

    CZelSockThread* m_thread;
    CZelConnectionInTimeCharacteristics m_sent;
    CZelConnectionInTimeCharacteristics m_received;
    bool m_statisticsOn = true;
    CCloseTimer m_closeTimer;
};
