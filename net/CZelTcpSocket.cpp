#include "net/CZelTcpSocket.h"

#include "foundation/XTOOError.h"
#include "net/ZelSockets.h"

#include <cerrno>

CZelTcpSocket::CCloseTimer::CCloseTimer(CZelSockThread* thread, CZelTcpSocket* owner)
    : CZelSocketTimer(thread), m_owner(owner)
{
}

void CZelTcpSocket::CCloseTimer::OnTimer(int64_t)
{
    m_owner->CheckPeerClose();
}

CZelTcpSocket::CZelTcpSocket(CZelSockThread* thread)
    : m_thread(thread), m_closeTimer(thread, this)
{
    ResetStatistics();
}

CZelTcpSocket::CZelTcpSocket(CZelSockThread* thread, int handle)
    : CZelSocket(handle), m_thread(thread), m_closeTimer(thread, this)
{
    ResetStatistics();
}

CZelTcpSocket::~CZelTcpSocket() = default;

int CZelTcpSocket::Send(const char* data, int length)
{
    const int sent = CZelSocket::Send(data, length);
    CountSent(sent);
    return sent;
}

int CZelTcpSocket::Recv(char* buffer, int length)
{
    const int got = CZelSocket::Recv(buffer, length);
    CountReceived(got);
    return got;
}

void CZelTcpSocket::CountSent(int64_t bytes)
{
    if (bytes > 0 && m_statisticsOn)
        m_sent.Add(bytes, ZelTickMs());
}

void CZelTcpSocket::CountReceived(int64_t bytes)
{
    if (bytes > 0 && m_statisticsOn)
        m_received.Add(bytes, ZelTickMs());
}

void CZelTcpSocket::ResetStatistics()
{
    const int64_t now = ZelTickMs();
    m_sent.Reset(now);
    m_received.Reset(now);
}

void CZelTcpSocket::StatisticsTick(int64_t nowMs)
{
    // Reading a rate moves its windows forward; nothing else ages.
    m_sent.Rate(0, nowMs);
    m_received.Rate(0, nowMs);
}

void CZelTcpSocket::SetUpStatistics()
{
    m_statisticsOn = true;
    ResetStatistics();
}

void CZelTcpSocket::ReleaseStatistics()
{
    m_statisticsOn = false;
}

void CZelTcpSocket::StartCloseCheck(int64_t periodUs)
{
    m_closeTimer.Start(periodUs, CZelSocketTimer::kNoWake);
}

void CZelTcpSocket::StopCloseCheck()
{
    m_closeTimer.Stop();
}

void CZelTcpSocket::CheckPeerClose()
{
    if (Handle() < 0 || !Set())
        return;
    int error = 0;
    const int peek = PeekOne(error);
    if (peek == 1) {
        ChangeInterest(static_cast<uint32_t>(OnRead()));
        return;
    }
    if (peek == -1)
        return;
    const int code = peek == 0 ? kSockErrClosedByPeer : error;
    if (code == kSockErrClosedByPeer)
        ChangeInterest(zelsock::kPeerCloseSeen);
    errno = code;
    Notify_Error(code);
}
