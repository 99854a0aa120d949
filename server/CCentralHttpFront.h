#pragma once
// CCentralHttpFront: the event loop behind CCentralHttpServer. One thread runs the loop (the
// listener, every connection's reads, writes and deadlines); a pool of workers runs the
// requests. It keeps the books of connections, in all and per peer address, refuses those
// beyond the limits at once, and on stop drains: no new connections, the requests in hand
// finish within the drain deadline, then the loop ends. With a TLS context every connection
// speaks TLS; without one, plain HTTP.

#include "server/CCentralHttpConnection.h"
#include "server/CCentralHttpLimits.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

class CTlsContext;

class CCentralHttpFront : private ICentralHttpHost {
public:
    // Turns one request body into its answer body; called on the workers, several at once.
    using Handler = std::function<std::string(std::string)>;

    CCentralHttpFront(Handler handler, CCentralHttpOptions options);
    ~CCentralHttpFront() override;
    CCentralHttpFront(const CCentralHttpFront&) = delete;
    CCentralHttpFront& operator=(const CCentralHttpFront&) = delete;

    // Every connection accepted from now on speaks TLS with these settings (before Start).
    void UseTls(const CTlsContext& context);
    int Start(const std::string& host, int port, std::string* error);
    void Stop();
    bool IsRunning() const { return m_running; }
    // Connections the front holds open, from any thread.
    size_t OpenConnections() const { return m_open; }

private:
    // ICentralHttpHost, on the loop.
    const CCentralHttpOptions& Limits() const override { return m_options; }
    bool Draining() const override { return m_draining; }
    void Dispatch(std::string body, Done done) override;
    void Forget(CCentralHttpConnection& connection) override;

    bool Listen(const std::string& host, int port, std::string* error);
    void Accept();
    void OnAccepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
    void Admit(boost::asio::ip::tcp::socket socket);
    void BeginDrain();
    void CloseAll();

    Handler m_handler;
    CCentralHttpOptions m_options;
    boost::asio::io_context m_loop{1};
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_keepLooping;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_acceptAgain;
    boost::asio::steady_timer m_drainDeadline;
    boost::asio::thread_pool m_workers;
    std::unique_ptr<boost::asio::ssl::context> m_tls;
    std::thread m_loopThread;
    std::atomic<bool> m_running{false};
    std::atomic<size_t> m_open{0};
    bool m_draining = false;
    std::unordered_map<CCentralHttpConnection*, std::weak_ptr<CCentralHttpConnection>> m_connections;
    std::map<boost::asio::ip::address, int> m_perAddress;
};

// Raises this process's soft limit of open files to at least `wanted` (at most to the hard
// limit). The limit in force afterwards.
long RaiseOpenFileLimit(long wanted);
