#pragma once
// CCentralHttpStream: the bytes under one connection of the central server's HTTP front: the
// TCP socket itself, or TLS over it. The connection reads and writes through it the same way
// either way; what only a socket can do (wait, shut down, close) goes to `Lowest()`.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <memory>
#include <utility>

class CCentralHttpStream {
public:
    using Socket = boost::asio::ip::tcp::socket;
    using executor_type = Socket::executor_type;

    explicit CCentralHttpStream(Socket socket) : m_plain(std::move(socket)) {}
    // TLS with `tls`'s settings; the context outlives the stream (the front owns both).
    CCentralHttpStream(Socket socket, boost::asio::ssl::context& tls)
        : m_plain(socket.get_executor()), m_tls(std::make_unique<Tls>(std::move(socket), tls))
    {
    }

    bool IsTls() const { return m_tls != nullptr; }
    Socket& Lowest() { return m_tls ? m_tls->next_layer() : m_plain; }
    executor_type get_executor() { return Lowest().get_executor(); }

    // The TLS handshake as the server; a plain stream is ready at once.
    template <class Handler>
    void AsyncHandshake(Handler&& handler)
    {
        if (m_tls) {
            m_tls->async_handshake(boost::asio::ssl::stream_base::server, std::forward<Handler>(handler));
            return;
        }
        boost::asio::post(get_executor(), [handler = std::forward<Handler>(handler)]() mutable {
            handler(boost::system::error_code());
        });
    }

    template <class Buffers, class Handler>
    void async_read_some(const Buffers& buffers, Handler&& handler)
    {
        if (m_tls)
            m_tls->async_read_some(buffers, std::forward<Handler>(handler));
        else
            m_plain.async_read_some(buffers, std::forward<Handler>(handler));
    }

    template <class Buffers, class Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler)
    {
        if (m_tls)
            m_tls->async_write_some(buffers, std::forward<Handler>(handler));
        else
            m_plain.async_write_some(buffers, std::forward<Handler>(handler));
    }

private:
    using Tls = boost::asio::ssl::stream<Socket>;

    // Under TLS an empty socket on the same executor; the real one lives inside `m_tls`.
    Socket m_plain;
    std::unique_ptr<Tls> m_tls;
};
