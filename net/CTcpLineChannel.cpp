#include "net/CTcpLineChannel.h"

#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"
#include "tls/CTlsContext.h"

CTcpLineChannel::CTcpLineChannel(CZelTcpFile& connection, std::shared_ptr<const CTlsContext> tls)
    : m_connection(connection), m_tls(std::move(tls))
{
}

CZelString CTcpLineChannel::ReadLine(int maximum, int timeoutMs)
{
    if (maximum <= 0)
        return CZelString();
    if (m_buffer.size() < static_cast<size_t>(maximum))
        m_buffer.resize(static_cast<size_t>(maximum));
    const int count = m_connection.ReadUntil(m_buffer.data(), maximum, timeoutMs, CZelString("\r\n"));
    if (count < 0)
        throw XTOOSockClose(CZelString(kSockErrClosedByPeerText));
    return CZelString(m_buffer.data(), count);
}

bool CTcpLineChannel::Write(const CZelString& bytes, int timeoutMs)
{
    return m_connection.Write(bytes, timeoutMs) == bytes.Length();
}

bool CTcpLineChannel::CanStartTls() const
{
    return m_tls && !m_connection.IsTls();
}

bool CTcpLineChannel::IsSecure() const
{
    return m_connection.IsTls();
}

bool CTcpLineChannel::StartTls(int timeoutMs)
{
    return CanStartTls() && m_connection.StartTlsServer(*m_tls, timeoutMs);
}

CZelString CTcpLineChannel::TlsFailure() const
{
    return CZelString(std::string_view(m_connection.TlsFailureReason()));
}

CZelString CTcpLineChannel::TlsProtocol() const
{
    return CZelString(std::string_view(m_connection.TlsProtocol()));
}
