#include "server/CCentralHttpConnection.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/read.hpp>

#include <algorithm>
#include <array>
#include <charconv>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

constexpr char kContentType[] = "application/octet-stream";
// After a refusal: what is still read away before the close, and for how long at most. A body
// refused for its size is read away whole (at the transfer floor) when it is no more than a few
// times the limit, so that a client that writes all of it before it reads gets to its 413.
constexpr size_t kDiscardBytes = 1024 * 1024;
constexpr uint64_t kDiscardBodiesUpToLimitTimes = 4;
constexpr size_t kDiscardChunk = 16 * 1024;
constexpr std::chrono::seconds kDiscardTime{2};
// What a TLS connection reads at once while it waits for a request: a gateway's request head.
constexpr size_t kFirstReadBytes = 1024;

const char* ReasonOf(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Error";
    }
}

bool IsParseError(const error_code& error)
{
    return error.category() == http::make_error_code(http::error::bad_version).category() &&
           error != http::error::end_of_stream && error != http::error::partial_message;
}

// The status of a request whose head parsed but that this server does not take; 0 when it is
// taken. Only POST with a Content-Length carries a request; a chunked or otherwise encoded
// body is refused before it is read.
int StatusOfHead(const http::request<CCentralHttpBody>& request, bool hasLength)
{
    if (request.count(http::field::transfer_encoding) > 0)
        return 501;
    if (request.method() != http::verb::post)
        return 405;
    if (!hasLength)
        return 411;
    return 0;
}

bool WantsContinue(const http::request<CCentralHttpBody>& request)
{
    const auto expect = request.find(http::field::expect);
    if (expect == request.end())
        return false;
    const auto value = expect->value();
    static constexpr char kContinue[] = "100-continue";
    if (value.size() != sizeof kContinue - 1)
        return false;
    for (size_t i = 0; i < value.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(value[i])) != kContinue[i])
            return false;
    return true;
}

} // namespace

CCentralHttpConnection::CCentralHttpConnection(ICentralHttpHost& host, CCentralHttpStream stream,
                                               asio::ip::address peer)
    : m_host(host), m_stream(std::move(stream)), m_peer(peer), m_timer(m_stream.get_executor())
{
}

void CCentralHttpConnection::Begin()
{
    m_phase = Phase::Handshake;
    Arm(std::chrono::seconds(m_host.Limits().headerTimeoutSeconds), &CCentralHttpConnection::Close);
    m_stream.AsyncHandshake([self = shared_from_this()](const error_code& error) { self->OnHandshake(error); });
}

void CCentralHttpConnection::OnHandshake(const error_code& error)
{
    if (m_phase != Phase::Handshake)
        return;
    // A peer that does not speak TLS (plain HTTP to this port, say) gets no answer it could
    // not read anyway.
    if (error) {
        Close();
        return;
    }
    WaitForRequest(false);
}

void CCentralHttpConnection::CloseIfIdle()
{
    // A handshake holds no request yet. Bytes in the socket are a request under way, even
    // before the loop has seen them.
    if (m_phase == Phase::Handshake) {
        Close();
        return;
    }
    error_code ignored;
    if (m_phase == Phase::Waiting && m_buffer.size() == 0 && m_stream.Lowest().available(ignored) == 0)
        Close();
}

void CCentralHttpConnection::Close()
{
    if (m_phase == Phase::Closed)
        return;
    m_phase = Phase::Closed;
    Disarm();
    error_code ignored;
    m_stream.Lowest().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_stream.Lowest().close(ignored);
    m_host.Forget(*this);
}

// An idle connection holds no buffer: it waits for the socket to become readable, and only
// then does the head's parser and buffer come into being.
void CCentralHttpConnection::WaitForRequest(bool armHeaderDeadlineOnFirstByte)
{
    m_phase = Phase::Waiting;
    if (m_buffer.size() > 0) {
        // The next request came with the last one.
        if (armHeaderDeadlineOnFirstByte)
            Arm(std::chrono::seconds(m_host.Limits().headerTimeoutSeconds), &CCentralHttpConnection::Close);
        ReadHead();
        return;
    }
    m_buffer.shrink_to_fit();
    if (m_stream.IsTls()) {
        WaitForTlsRequest(armHeaderDeadlineOnFirstByte);
        return;
    }
    m_stream.Lowest().async_wait(asio::socket_base::wait_read,
                                 [self = shared_from_this(), armHeaderDeadlineOnFirstByte](const error_code& error) {
                                     self->OnRequestReadable(error, armHeaderDeadlineOnFirstByte);
                                 });
}

// The TLS layer may already hold the next request's bytes, decrypted, where a wait on the
// socket would not see them; so the wait is a small read. The TLS session holds its own
// buffers anyway.
void CCentralHttpConnection::WaitForTlsRequest(bool armHeaderDeadlineOnFirstByte)
{
    m_stream.async_read_some(m_buffer.prepare(kFirstReadBytes),
                             [self = shared_from_this(), armHeaderDeadlineOnFirstByte](const error_code& error,
                                                                                       size_t bytes) {
                                 if (self->m_phase == Phase::Waiting)
                                     self->m_buffer.commit(bytes);
                                 self->OnRequestReadable(error, armHeaderDeadlineOnFirstByte);
                             });
}

void CCentralHttpConnection::OnRequestReadable(const error_code& error, bool armHeaderDeadlineOnFirstByte)
{
    if (m_phase != Phase::Waiting)
        return;
    if (error) {
        Close();
        return;
    }
    if (armHeaderDeadlineOnFirstByte)
        Arm(std::chrono::seconds(m_host.Limits().headerTimeoutSeconds), &CCentralHttpConnection::Close);
    ReadHead();
}

void CCentralHttpConnection::ReadHead()
{
    m_phase = Phase::Head;
    m_parser.emplace();
    m_parser->header_limit(static_cast<std::uint32_t>(m_host.Limits().maxHeaderBytes));
    m_parser->body_limit(static_cast<std::uint64_t>(m_host.Limits().maxBodyBytes));
    http::async_read_header(m_stream, m_buffer, *m_parser,
                            [self = shared_from_this()](const error_code& error, size_t) { self->OnHead(error); });
}

void CCentralHttpConnection::OnHead(const error_code& error)
{
    if (m_phase != Phase::Head)
        return;
    if (error) {
        if (error == http::error::body_limit)
            Refuse(413, DiscardForOversizedBody());
        else if (IsParseError(error))
            Refuse(400, kDiscardBytes);
        else
            Close();
        return;
    }
    const http::request<CCentralHttpBody>& request = m_parser->get();
    if (const int status = StatusOfHead(request, m_parser->content_length().has_value())) {
        Refuse(status, kDiscardBytes);
        return;
    }
    m_keepAlive = request.keep_alive();
    m_http10 = request.version() < 11;
    if (!m_parser->is_done() && WantsContinue(request)) {
        m_head = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(m_stream, asio::buffer(m_head),
                          [self = shared_from_this()](const error_code& written, size_t) {
                              if (self->m_phase != Phase::Head)
                                  return;
                              if (written)
                                  self->Close();
                              else
                                  self->ReadBody();
                          });
        return;
    }
    ReadBody();
}

void CCentralHttpConnection::ReadBody()
{
    m_phase = Phase::Body;
    if (m_parser->is_done()) {
        Dispatch();
        return;
    }
    ArmTransferWindow();
    ReadSomeBody();
}

void CCentralHttpConnection::ReadSomeBody()
{
    http::async_read_some(m_stream, m_buffer, *m_parser,
                          [self = shared_from_this()](const error_code& error, size_t bytes) {
                              self->OnBody(error, bytes);
                          });
}

void CCentralHttpConnection::OnBody(const error_code& error, size_t bytes)
{
    if (m_phase != Phase::Body)
        return;
    if (error) {
        if (IsParseError(error))
            Refuse(400, kDiscardBytes);
        else
            Close();
        return;
    }
    m_windowBytes += bytes;
    if (m_parser->is_done())
        Dispatch();
    else
        ReadSomeBody();
}

void CCentralHttpConnection::Dispatch()
{
    m_phase = Phase::Handling;
    Disarm();
    std::string body = std::move(m_parser->get().body());
    m_parser.reset();
    m_host.Dispatch(std::move(body), [self = shared_from_this()](std::optional<std::string> answer) {
        self->OnAnswer(std::move(answer));
    });
}

void CCentralHttpConnection::OnAnswer(std::optional<std::string> answer)
{
    if (m_phase != Phase::Handling)
        return;
    if (!answer) {
        Refuse(500, kDiscardBytes);
        return;
    }
    m_phase = Phase::Writing;
    if (m_host.Draining())
        m_keepAlive = false;
    m_head = "HTTP/1.1 200 OK\r\nContent-Type: ";
    m_head += kContentType;
    m_head += "\r\nContent-Length: " + std::to_string(answer->size()) + "\r\n";
    if (!m_keepAlive)
        m_head += "Connection: close\r\n";
    else if (m_http10)
        m_head += "Connection: keep-alive\r\n";
    m_head += "\r\n";
    m_answer = std::move(*answer);
    m_written = 0;
    ArmTransferWindow();
    WriteSome();
}

void CCentralHttpConnection::WriteSome()
{
    const size_t total = m_head.size() + m_answer.size();
    if (m_written == total) {
        AfterAnswer();
        return;
    }
    std::array<asio::const_buffer, 2> pieces{asio::buffer(m_head), asio::buffer(m_answer)};
    if (m_written < m_head.size()) {
        pieces[0] = asio::buffer(m_head) + m_written;
    } else {
        pieces[0] = asio::const_buffer();
        pieces[1] = asio::buffer(m_answer) + (m_written - m_head.size());
    }
    m_stream.async_write_some(pieces, [self = shared_from_this()](const error_code& error, size_t bytes) {
        self->OnWritten(error, bytes);
    });
}

void CCentralHttpConnection::OnWritten(const error_code& error, size_t bytes)
{
    if (m_phase != Phase::Writing)
        return;
    if (error) {
        Close();
        return;
    }
    m_written += bytes;
    m_windowBytes += bytes;
    WriteSome();
}

void CCentralHttpConnection::AfterAnswer()
{
    Disarm();
    m_head.clear();
    m_head.shrink_to_fit();
    m_answer.clear();
    m_answer.shrink_to_fit();
    if (!m_keepAlive || m_host.Draining()) {
        CloseGracefully(kDiscardBytes);
        return;
    }
    Arm(std::chrono::seconds(m_host.Limits().keepAliveSeconds), &CCentralHttpConnection::Close);
    WaitForRequest(true);
}

uint64_t CCentralHttpConnection::DiscardForOversizedBody() const
{
    // The head parsed whole before its length was found too large, so the field is there.
    const auto field = m_parser->get().find(http::field::content_length);
    if (field == m_parser->get().end())
        return kDiscardBytes;
    uint64_t announced = 0;
    const auto text = field->value();
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), announced);
    const uint64_t ceiling = kDiscardBodiesUpToLimitTimes * m_host.Limits().maxBodyBytes;
    if (ec != std::errc() || end != text.data() + text.size() || announced > ceiling)
        return kDiscardBytes;
    return std::max<uint64_t>(announced, kDiscardBytes);
}

void CCentralHttpConnection::Refuse(int status, uint64_t discard)
{
    m_phase = Phase::Refusing;
    m_parser.reset();
    Arm(std::chrono::seconds(m_host.Limits().transferWindowSeconds), &CCentralHttpConnection::Close);
    m_head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonOf(status) +
             "\r\nContent-Length: 0\r\nConnection: close\r\n";
    if (status == 405)
        m_head += "Allow: POST\r\n";
    m_head += "\r\n";
    asio::async_write(m_stream, asio::buffer(m_head), [self = shared_from_this(), discard](const error_code& error, size_t) {
        if (self->m_phase != Phase::Refusing)
            return;
        if (error) {
            self->Close();
            return;
        }
        self->CloseGracefully(discard);
    });
}

void CCentralHttpConnection::CloseGracefully(uint64_t discard)
{
    m_phase = Phase::Refusing;
    error_code ignored;
    // Under TLS the rest is read away from the socket itself, past the TLS layer: it is
    // thrown away unread, and a session that ends here needs no more records.
    m_stream.Lowest().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    m_discarded = m_buffer.size();
    m_discardLimit = discard;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    if (m_discarded >= m_discardLimit) {
        Close();
        return;
    }
    m_discardBuffer.reset(new char[kDiscardChunk]);
    // A long discard goes on as long as the peer keeps sending; a short one has a moment.
    if (m_discardLimit > kDiscardBytes)
        ArmTransferWindow();
    else
        Arm(kDiscardTime, &CCentralHttpConnection::Close);
    Discard();
}

void CCentralHttpConnection::Discard()
{
    m_stream.Lowest().async_read_some(asio::buffer(m_discardBuffer.get(), kDiscardChunk),
                             [self = shared_from_this()](const error_code& error, size_t bytes) {
                                 if (self->m_phase != Phase::Refusing)
                                     return;
                                 self->m_discarded += bytes;
                                 self->m_windowBytes += bytes;
                                 if (error || self->m_discarded >= self->m_discardLimit)
                                     self->Close();
                                 else
                                     self->Discard();
                             });
}

void CCentralHttpConnection::Arm(std::chrono::seconds after, Expiry onExpiry)
{
    const unsigned generation = ++m_timerGeneration;
    m_timer.expires_after(after);
    m_timer.async_wait([self = shared_from_this(), generation, onExpiry](const error_code& error) {
        if (error || generation != self->m_timerGeneration || self->m_phase == Phase::Closed)
            return;
        (self.get()->*onExpiry)();
    });
}

void CCentralHttpConnection::Disarm()
{
    ++m_timerGeneration;
    m_timer.cancel();
}

void CCentralHttpConnection::ArmTransferWindow()
{
    m_windowBytes = 0;
    Arm(std::chrono::seconds(m_host.Limits().transferWindowSeconds), &CCentralHttpConnection::CheckTransferRate);
}

void CCentralHttpConnection::CheckTransferRate()
{
    const size_t floor = m_host.Limits().transferFloorBytesPerSecond *
                         static_cast<size_t>(m_host.Limits().transferWindowSeconds);
    if (m_windowBytes < floor)
        Close();
    else
        ArmTransferWindow();
}
