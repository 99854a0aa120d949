#include "net/CTcpLineChannel.h"

#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"

CTcpLineChannel::CTcpLineChannel(CZelTcpFile& connection) : m_connection(connection) {}

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
