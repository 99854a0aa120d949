#pragma once
// CZelHttpClient: the minimal HTTP/1.1 client that carries central server requests. One post
// writes one POST request over the caller's kept-alive connection, reads exactly one complete
// answer, accepts only status 200 and returns its body. Bytes that arrived after the answer go
// back to the connection for the next post.
//
// The client posts to the address it was made with: `server` ("host" or "host:port"; port 80
// when none is given) and the path `url`. A server written "https://host[:port]" (port 443 by
// default) is spoken to over TLS, verified against the address's pinned fingerprint or else the
// system's certificate authorities and the host name; a failed verification fails the open,
// before any byte of a request is sent.
//
// Connection errors are thrown as XTOOSockErr whose text names the stage first:
// "fhttp.Open(<server>): ", "fhttp.Write(<n> bytes): " or "fhttp.Read(): ".

#include "foundation/CZelString.h"
#include "protocol/CZelServerAddress.h"
#include "protocol/ZelHttpAnswer.h"

#include <cstdint>
#include <utility>

class CZelTcpFile;
class IZelLogSink;

inline constexpr int kHttpDefaultPort = 80;
inline constexpr int kHttpsDefaultPort = 443;
inline constexpr char kHttpsScheme[] = "https://";
inline constexpr char kHttpScheme[] = "http://";
inline constexpr int kHttpsHandshakeTimeoutMs = 60000;
inline constexpr int kHttpReadChunk = 65536;
inline constexpr int kHttpReadTimeoutMs = 60000;
inline constexpr int kHttpWriteIdleTimeoutMs = 60000;
// The write time-outs the requests use.
inline constexpr int kHttpWriteTimeoutMs = 60000;
inline constexpr int kHttpLongWriteTimeoutMs = 900000;

struct CZelHttpLimits {
    int64_t maxContentLength = kMaxHttpContentLength;
    int readTimeoutMs = kHttpReadTimeoutMs;
    // Reads in a row that bring nothing before the answer is given up (15 minutes by default).
    int maxSilentReads = 15;
};

class CZelHttpClient {
public:
    explicit CZelHttpClient(CZelServerAddress address, const CZelHttpLimits& limits = {})
        : m_address(std::move(address)), m_limits(limits)
    {
    }

    const CZelServerAddress& Address() const { return m_address; }

    // The answer body, or empty when there is no usable answer. A non-200 answer is written to
    // `log` ("Server reply error: %1\n") and keeps the connection open; a closed connection, an
    // answer without a usable length or a request that could not be written whole closes it.
    CZelString Post(const CZelString& body, CZelTcpFile& connection, int writeTimeoutMs,
                    IZelLogSink* log = nullptr) const;

    // The request bytes: header and body in one buffer.
    static CZelString BuildRequest(const CZelString& body, const CZelString& host, const CZelString& path);

    // "host" or "host:port" (a port of 1 to 65535 digits after the last ':'); otherwise the
    // whole text is the host and the port is 80. A leading "http://" is dropped; after
    // "https://" the port is 443 unless one is given.
    static void SplitServer(const CZelString& server, CZelString& host, int& port);
    static bool IsHttps(const CZelString& server);
    // The server text without its scheme, as the Host header names it.
    static CZelString HostAndPort(const CZelString& server);

private:
    bool EnsureOpen(CZelTcpFile& connection) const;
    void StartTls(CZelTcpFile& connection, const CZelString& host) const;
    bool WriteRequest(CZelTcpFile& connection, const CZelString& request, int writeTimeoutMs) const;
    CZelString ReadAnswer(CZelTcpFile& connection, IZelLogSink* log) const;
    int ReadSome(CZelTcpFile& connection, char* chunk) const;

    CZelServerAddress m_address;
    CZelHttpLimits m_limits;
};

// A post to `address` with the default limits.
CZelString HttpPost(const CZelString& body, const CZelServerAddress& address, CZelTcpFile& connection,
                    int writeTimeoutMs, IZelLogSink* log = nullptr);
