#include "protocol/CZelHttpClient.h"

#include "foundation/CZelFormat.h"
#include "foundation/IZelLogSink.h"
#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"
#include "tls/CTlsCertificate.h"
#include "tls/CTlsContext.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr char kThisFile[] = "CZelHttpClient.cpp";
constexpr char kRequestHeader[] =
    "POST %S HTTP/1.1\r\nHost: %S\r\nContent-Type: application/octet-stream\r\nContent-Length: %D\r\n"
    "Connection: keep-alive\r\n\r\n";
constexpr char kServerReplyError[] = "Server reply error: %1\n";
constexpr char kOpenStage[] = "fhttp.Open(%S): ";
constexpr char kWriteStage[] = "fhttp.Write(%d bytes): ";
constexpr char kReadStage[] = "fhttp.Read(): ";

[[noreturn]] void ThrowWithStage(const CZelString& stage, const XTOOSockErr& error)
{
    throw XTOOSockErr::WithMessage(stage + error.GetText(), error.Code(), error.Socket());
}

void LogReplyError(IZelLogSink* log, std::string_view header)
{
    if (log == nullptr)
        return;
    const std::string_view line = HttpFirstLine(header);
    log->AddStringEx(FormatTr("%S", log->TranslateText(kServerReplyError, kThisFile), CZelString(line)));
}

// One client context per pinned fingerprint (empty: the system's authorities), made at first
// use: loading the system's authorities costs far more than a connection. The cache lives as
// long as the process and is never torn down: OpenSSL's own exit cleanup runs before static
// destructors would, and a context freed after it would leave its pinned fingerprint behind.
std::shared_ptr<const CTlsContext> SharedClientContext(const std::string& fingerprint)
{
    static std::mutex mutex;
    static auto* const contexts = new std::map<std::string, std::shared_ptr<const CTlsContext>>;
    std::lock_guard<std::mutex> hold(mutex);
    std::shared_ptr<const CTlsContext>& context = (*contexts)[fingerprint];
    if (!context) {
        context = std::make_shared<const CTlsContext>(fingerprint.empty() ? CTlsContext::ClientOfSystemAuthorities()
                                                                          : CTlsContext::ClientPinned(fingerprint));
    }
    return context;
}

} // namespace

CZelString CZelHttpClient::BuildRequest(const CZelString& body, const CZelString& host, const CZelString& path)
{
    return Format(kRequestHeader, path, host, static_cast<int64_t>(body.Length())) + body;
}

bool CZelHttpClient::IsHttps(const CZelString& server)
{
    return server.View().starts_with(kHttpsScheme);
}

CZelString CZelHttpClient::HostAndPort(const CZelString& server)
{
    if (IsHttps(server))
        return server.Mid(static_cast<int32_t>(sizeof kHttpsScheme - 1));
    if (server.View().starts_with(kHttpScheme))
        return server.Mid(static_cast<int32_t>(sizeof kHttpScheme - 1));
    return server;
}

void CZelHttpClient::SplitServer(const CZelString& server, CZelString& host, int& port)
{
    const CZelString rest = HostAndPort(server);
    host = rest;
    port = IsHttps(server) ? kHttpsDefaultPort : kHttpDefaultPort;
    const int32_t colon = rest.ReverseFind(':');
    if (colon < 0)
        return;
    const std::string_view digits = rest.View().substr(static_cast<size_t>(colon) + 1);
    if (digits.empty() || digits.size() > 5)
        return;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return;
    host = rest.Left(colon);
    port = value;
}

CZelString CZelHttpClient::Post(const CZelString& body, CZelTcpFile& connection, int writeTimeoutMs,
                                IZelLogSink* log) const
{
    const CZelString request = BuildRequest(body, HostAndPort(m_address.server), m_address.url);
    if (!EnsureOpen(connection))
        return CZelString();
    if (!WriteRequest(connection, request, writeTimeoutMs))
        return CZelString();
    return ReadAnswer(connection, log);
}

bool CZelHttpClient::EnsureOpen(CZelTcpFile& connection) const
{
    if (connection.IsOpen())
        return true;
    CZelString host;
    int port = kHttpDefaultPort;
    SplitServer(m_address.server, host, port);
    try {
        if (!connection.Open(host, port))
            return false;
    } catch (const XTOOSockErr& error) {
        ThrowWithStage(Format(kOpenStage, m_address.server), error);
    }
    if (IsHttps(m_address.server))
        StartTls(connection, host);
    return true;
}

void CZelHttpClient::StartTls(CZelTcpFile& connection, const CZelString& host) const
{
    std::string failure;
    const std::string pin = CTlsCertificate::NormalFingerprint(m_address.fingerprint.View());
    if (!m_address.fingerprint.IsEmpty() && pin.empty()) {
        failure = "the pinned fingerprint " + m_address.fingerprint.ToStd() + " is not a SHA-256 fingerprint";
    } else {
        try {
            const std::shared_ptr<const CTlsContext> context = SharedClientContext(pin);
            if (connection.StartTlsClient(*context, host.ToStd(), kHttpsHandshakeTimeoutMs))
                return;
            failure = connection.TlsFailureReason();
        } catch (const XTOOBaseError& error) {
            failure = error.GetText().ToStd();
        }
    }
    connection.Close();
    throw XTOOSockErr::WithMessage(Format(kOpenStage, m_address.server) + CZelString(std::string_view(failure)));
}

// A request that was not sent whole leaves the server waiting for the rest of it, so the
// connection cannot carry an answer any more.
bool CZelHttpClient::WriteRequest(CZelTcpFile& connection, const CZelString& request, int writeTimeoutMs) const
{
    int written = 0;
    try {
        written = connection.Write(request, writeTimeoutMs, kHttpWriteIdleTimeoutMs);
    } catch (const XTOOSockErr& error) {
        connection.Close();
        ThrowWithStage(Format(kWriteStage, request.Length()), error);
    }
    if (written == request.Length())
        return true;
    connection.Close();
    return false;
}

int CZelHttpClient::ReadSome(CZelTcpFile& connection, char* chunk) const
{
    const uint32_t timeoutWord =
        CZelTcpFile::kReadAnyData | (static_cast<uint32_t>(m_limits.readTimeoutMs) & CZelTcpFile::kReadTimeoutMask);
    try {
        return connection.Read(chunk, kHttpReadChunk, timeoutWord);
    } catch (const XTOOSockErr& error) {
        connection.Close();
        ThrowWithStage(CZelString(kReadStage), error);
    }
}

CZelString CZelHttpClient::ReadAnswer(CZelTcpFile& connection, IZelLogSink* log) const
{
    std::unique_ptr<char[]> chunk(new char[kHttpReadChunk]);
    std::string buffer;
    int silentReads = 0;
    for (;;) {
        const int got = ReadSome(connection, chunk.get());
        if (got < 0)
            break;
        if (got == 0) {
            if (++silentReads >= m_limits.maxSilentReads)
                break;
            continue;
        }
        silentReads = 0;
        buffer.append(chunk.get(), static_cast<size_t>(got));

        HttpAnswerScan scan = ScanHttpAnswer(buffer, m_limits.maxContentLength);
        const std::string_view header = std::string_view(buffer).substr(0, static_cast<size_t>(scan.headerLength));
        if (scan.result == HttpAnswerScan::kNeedHeader || scan.result == HttpAnswerScan::kNeedBody)
            continue;
        // An interim answer never has a body; one without a length is dropped like one with it.
        if (scan.result == HttpAnswerScan::kNoContentLength && IsHttpStatus(header, "100"))
            scan.contentLength = 0;
        else if (scan.result != HttpAnswerScan::kComplete)
            break;

        const size_t answerLength = static_cast<size_t>(scan.headerLength + scan.contentLength);
        if (buffer.size() > answerLength)
            connection.PushBack(buffer.data() + answerLength, static_cast<int>(buffer.size() - answerLength));
        if (IsHttpStatus(header, "200"))
            return CZelString(std::string_view(buffer).substr(static_cast<size_t>(scan.headerLength),
                                                              static_cast<size_t>(scan.contentLength)));
        if (IsHttpStatus(header, "100")) {
            buffer.clear();
            continue;
        }
        LogReplyError(log, header);
        return CZelString();
    }
    connection.Close();
    return CZelString();
}

CZelString HttpPost(const CZelString& body, const CZelServerAddress& address, CZelTcpFile& connection,
                    int writeTimeoutMs, IZelLogSink* log)
{
    return CZelHttpClient(address).Post(body, connection, writeTimeoutMs, log);
}
