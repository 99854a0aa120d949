#include "server/CCentralHttpServer.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

constexpr char kContentType[] = "application/octet-stream";

} // namespace

CCentralHttpServer::CCentralHttpServer(CCentralServer& server, CCentralHttpOptions options)
    : m_server(server), m_options(options), m_http(std::make_unique<httplib::Server>())
{
    const int threads = m_options.threads;
    m_http->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    // The library's default also sets SO_REUSEPORT, which lets a second server bind a port that
    // is in use and silently take half of its clients; address reuse alone keeps quick restarts.
    // No Nagle delay: an answer's head and body go out as separate writes, and a client that
    // delays its acknowledgement would otherwise hold the body back for 40 ms (accepted
    // sockets inherit the option).
    m_http->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    m_http->set_payload_max_length(m_options.maxBodyBytes);
    m_http->set_read_timeout(m_options.readTimeoutSeconds, 0);
    m_http->set_write_timeout(m_options.writeTimeoutSeconds, 0);
    m_http->set_keep_alive_timeout(m_options.keepAliveSeconds);
    m_http->set_keep_alive_max_count(1000000);
    m_http->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        const CZelString body(request.body);
        const CZelString answer = m_server.Handle(body);
        response.status = 200;
        response.set_content(std::string(answer.View()), kContentType);
    });
}

CCentralHttpServer::~CCentralHttpServer()
{
    Stop();
}

int CCentralHttpServer::Start(const std::string& host, int port, std::string* error)
{
    const int bound = port == 0 ? m_http->bind_to_any_port(host) : (m_http->bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        if (error)
            *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return -1;
    }
    m_thread = std::thread([this] { m_http->listen_after_bind(); });
    // A stop that came before the loop runs would be lost, and the join would wait for ever.
    while (!m_http->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return bound;
}

void CCentralHttpServer::Stop()
{
    m_http->stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool CCentralHttpServer::IsRunning() const
{
    return m_http->is_running();
}
