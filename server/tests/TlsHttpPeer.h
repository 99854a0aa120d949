#pragma once
// A TLS peer of the central server's HTTPS front that sends whatever bytes a test gives it, as
// RawPeer does over plain TCP: it trusts the server's certificate by its fingerprint, as the
// gateway does, and reads answers whole or until the server closes.

#include "net/CZelTcpFile.h"
#include "testing/RawHttpPeer.h"
#include "tls/CTlsContext.h"

#include <string>

namespace centraltest {

class TlsPeer {
public:
    TlsPeer(int port, const std::string& fingerprint) : m_context(CTlsContext::ClientPinned(fingerprint))
    {
        m_handshake = m_connection.Open(CZelString("127.0.0.1"), port) &&
                      m_connection.StartTlsClient(m_context, "127.0.0.1", kAnswerPatienceMs);
    }

    bool HandshakeDone() const { return m_handshake; }
    const std::string& FailureReason() const { return m_connection.TlsFailureReason(); }

    bool Send(const std::string& bytes)
    {
        return m_handshake &&
               m_connection.Write(bytes.data(), static_cast<int>(bytes.size()), kAnswerPatienceMs) ==
                   static_cast<int>(bytes.size());
    }

    RawPeer::Received ReadUntilClosed()
    {
        RawPeer::Received received;
        received.bytes = m_pending;
        m_pending.clear();
        while (m_handshake) {
            char chunk[4096];
            const int got = m_connection.Read(chunk, sizeof chunk, CZelTcpFile::kReadAnyData | kAnswerPatienceMs);
            if (got < 0) {
                received.closed = true;
                break;
            }
            if (got == 0)
                break;
            received.bytes.append(chunk, static_cast<size_t>(got));
        }
        return received;
    }

    // One whole answer (its head and a body of its Content-Length); empty when the server
    // closed first or nothing came within the bound.
    std::string ReadAnswer()
    {
        while (m_handshake) {
            const size_t end = m_pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t whole = end + 4 + ContentLength(m_pending.substr(0, end));
                if (m_pending.size() >= whole) {
                    std::string answer = m_pending.substr(0, whole);
                    m_pending.erase(0, whole);
                    return answer;
                }
            }
            char chunk[4096];
            const int got = m_connection.Read(chunk, sizeof chunk, CZelTcpFile::kReadAnyData | kAnswerPatienceMs);
            if (got <= 0)
                break;
            m_pending.append(chunk, static_cast<size_t>(got));
        }
        return {};
    }

private:
    static size_t ContentLength(const std::string& head)
    {
        static const std::string kField = "\r\nContent-Length: ";
        const size_t at = head.find(kField);
        return at == std::string::npos ? 0 : std::stoul(head.substr(at + kField.size()));
    }

    CTlsContext m_context;
    CZelTcpFile m_connection{EErrorMode::ReturnCodes};
    bool m_handshake = false;
    std::string m_pending;
};

} // namespace centraltest
