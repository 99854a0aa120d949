#pragma once
// The loopback line client the mail benchmarks drive the gateway's SMTP and POP3 servers with.

#include "e2e/MailWorld.h"
#include "tls/CTlsContext.h"
#include "tls/CTlsStream.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace velmo_bench {

inline int ConnectLoopback(int port)
{
    const int fd = e2e::ConnectToLoopback(port);
    if (fd < 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    return fd;
}

// A line client on a loopback socket, plain or (after StartTls) protected: only what the
// measurements need, so a figure never includes a client library's own costs.
class LineClient {
public:
    explicit LineClient(int port) : m_fd(ConnectLoopback(port)) {}
    ~LineClient() { close(m_fd); }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    // Runs the client side of the handshake over the connection, trusting `context`; every
    // later Send and read is protected.
    void StartTls(const CTlsContext& context, const std::string& serverName)
    {
        m_tls = std::make_unique<CTlsStream>(context, CTlsStream::ERole::Client, serverName);
        for (;;) {
            const CTlsStream::EStep step = m_tls->Handshake();
            SendRaw(m_tls->TakeOutgoing());
            if (step == CTlsStream::EStep::Done)
                return;
            if (step != CTlsStream::EStep::NeedInput)
                throw std::runtime_error("TLS handshake failed: " + m_tls->FailureReason());
            m_tls->PutIncoming(ReadRaw());
        }
    }

    void Send(const std::string& bytes)
    {
        if (!m_tls)
            return SendRaw(bytes);
        if (m_tls->Write(bytes) != CTlsStream::EStep::Done)
            throw std::runtime_error("TLS write failed: " + m_tls->FailureReason());
        SendRaw(m_tls->TakeOutgoing());
    }

private:
    void SendRaw(const std::string& bytes)
    {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t wrote = write(m_fd, bytes.data() + sent, bytes.size() - sent);
            if (wrote <= 0)
                throw std::runtime_error("the gateway closed the connection");
            sent += static_cast<size_t>(wrote);
        }
    }

public:
    // One line, without its CR LF.
    std::string Line()
    {
        size_t end = 0;
        while ((end = m_buffer.find("\r\n")) == std::string::npos)
            ReadMore();
        std::string line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 2);
        return line;
    }
    // The last line of one SMTP reply ("250-..." lines before it are read too).
    std::string Reply()
    {
        for (;;) {
            std::string line = Line();
            if (line.size() < 4 || line[3] != '-')
                return line;
        }
    }
    std::string Command(const std::string& line)
    {
        Send(line + "\r\n");
        return Reply();
    }
    // Reads the rest of a POP3 multi-line answer, up to its final ".": its size in bytes.
    size_t MultiLine()
    {
        static const std::string end = "\r\n.\r\n";
        size_t from = 0, at = 0;
        while ((at = m_buffer.find(end, from)) == std::string::npos) {
            from = m_buffer.size() >= end.size() ? m_buffer.size() - end.size() + 1 : 0;
            ReadMore();
        }
        const size_t size = at + end.size();
        m_buffer.erase(0, size);
        return size;
    }

private:
    std::string ReadRaw()
    {
        char chunk[64 * 1024];
        const ssize_t got = read(m_fd, chunk, sizeof chunk);
        if (got <= 0)
            throw std::runtime_error("the gateway closed the connection");
        return std::string(chunk, static_cast<size_t>(got));
    }

    void ReadMore()
    {
        if (!m_tls) {
            m_buffer += ReadRaw();
            return;
        }
        for (;;) {
            const CTlsStream::EStep step = m_tls->Read(m_buffer);
            if (step == CTlsStream::EStep::Done)
                return;
            if (step != CTlsStream::EStep::NeedInput)
                throw std::runtime_error("TLS read failed: " + m_tls->FailureReason());
            m_tls->PutIncoming(ReadRaw());
        }
    }

    int m_fd = -1;
    std::string m_buffer;
    std::unique_ptr<CTlsStream> m_tls;
};

}
