#pragma once
// CCentralHttpConnection: one peer of the central server's HTTP front, driven by the front's
// event loop (every member runs on the loop's thread). It waits for a request, reads its head
// and body within the limits, hands the body to the workers, writes the answer and waits for
// the next request on the kept-alive connection. A request that breaks the rules is answered
// with its status and the connection closed; a peer that idles or trickles is dropped. Over
// TLS the handshake comes first and counts against the header deadline.

#include "server/CCentralHttpLimits.h"
#include "server/CCentralHttpStream.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class CCentralHttpConnection;

// A request body that grows as its bytes arrive. The library's string body reserves the
// announced length up front, so that a few hundred peers announcing megabytes and sending
// nothing would hold memory they never filled.
struct CCentralHttpBody {
    using value_type = std::string;

    static std::uint64_t size(const value_type& body) { return body.size(); }

    class reader {
    public:
        template <bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : m_body(body)
        {
        }

        void init(const boost::optional<std::uint64_t>&, boost::system::error_code& error) { error = {}; }

        template <class ConstBuffers>
        std::size_t put(const ConstBuffers& buffers, boost::system::error_code& error)
        {
            std::size_t taken = 0;
            for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
                 ++it) {
                const boost::asio::const_buffer piece(*it);
                m_body.append(static_cast<const char*>(piece.data()), piece.size());
                taken += piece.size();
            }
            error = {};
            return taken;
        }

        void finish(boost::system::error_code& error) { error = {}; }

    private:
        value_type& m_body;
    };
};

// What a connection needs from the front that owns it.
class ICentralHttpHost {
public:
    // An answer, or nullopt when the request failed inside the server.
    using Done = std::function<void(std::optional<std::string>)>;

    virtual ~ICentralHttpHost() = default;
    virtual const CCentralHttpOptions& Limits() const = 0;
    // True once the front stops: answers close their connections.
    virtual bool Draining() const = 0;
    // Runs the request body on a worker; `done` is called back on the loop.
    virtual void Dispatch(std::string body, Done done) = 0;
    // The connection has closed its socket and leaves the front's books.
    virtual void Forget(CCentralHttpConnection& connection) = 0;
};

class CCentralHttpConnection : public std::enable_shared_from_this<CCentralHttpConnection> {
public:
    CCentralHttpConnection(ICentralHttpHost& host, CCentralHttpStream stream, boost::asio::ip::address peer);
    CCentralHttpConnection(const CCentralHttpConnection&) = delete;
    CCentralHttpConnection& operator=(const CCentralHttpConnection&) = delete;

    const boost::asio::ip::address& Peer() const { return m_peer; }

    // Starts serving: the handshake and the first request's head are due within the header
    // deadline.
    void Begin();
    // On stop: a connection between requests goes at once, one in a request finishes it.
    void CloseIfIdle();
    // Drops the connection (no answer) and leaves the front's books.
    void Close();

private:
    enum class Phase { Handshake, Waiting, Head, Body, Handling, Writing, Refusing, Closed };
    using Expiry = void (CCentralHttpConnection::*)();

    void OnHandshake(const boost::system::error_code& error);
    void WaitForRequest(bool armHeaderDeadlineOnFirstByte);
    void WaitForTlsRequest(bool armHeaderDeadlineOnFirstByte);
    void OnRequestReadable(const boost::system::error_code& error, bool armHeaderDeadlineOnFirstByte);
    void ReadHead();
    void OnHead(const boost::system::error_code& error);
    void ReadBody();
    void ReadSomeBody();
    void OnBody(const boost::system::error_code& error, size_t bytes);
    void Dispatch();
    void OnAnswer(std::optional<std::string> answer);
    void WriteSome();
    void OnWritten(const boost::system::error_code& error, size_t bytes);
    void AfterAnswer();
    // Answers `status` with no body and closes: the head goes out, then the sending side
    // shuts, then what the peer still sends is read away for a moment so that the close does
    // not reset the connection under the answer.
    void Refuse(int status, uint64_t discard);
    uint64_t DiscardForOversizedBody() const;
    void Discard();
    void CloseGracefully(uint64_t discard);

    void Arm(std::chrono::seconds after, Expiry onExpiry);
    void Disarm();
    void ArmTransferWindow();
    void CheckTransferRate();

    ICentralHttpHost& m_host;
    CCentralHttpStream m_stream;
    boost::asio::ip::address m_peer;
    boost::asio::steady_timer m_timer;
    unsigned m_timerGeneration = 0;
    Phase m_phase = Phase::Handshake;
    boost::beast::flat_buffer m_buffer;
    std::optional<boost::beast::http::request_parser<CCentralHttpBody>> m_parser;
    bool m_keepAlive = true;
    bool m_http10 = false;
    // Bytes of body read, or of answer written, in the current rate window.
    size_t m_windowBytes = 0;
    // The answer being written: its head, its body, and how much of the two has gone.
    std::string m_head;
    std::string m_answer;
    size_t m_written = 0;
    uint64_t m_discarded = 0;
    uint64_t m_discardLimit = 0;
    std::unique_ptr<char[]> m_discardBuffer;
};
