#include "server/CCentralHttpFront.h"

#include "tls/CTlsContext.h"

#include <openssl/ssl.h>

#include <boost/asio/post.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <exception>
#include <vector>

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace {

// Files the process needs besides its connections: the database and its journal, the log, the
// listener, the loop's own.
constexpr long kSpareFiles = 128;
// After the process ran out of files, the next accept waits this long for some to close.
constexpr std::chrono::milliseconds kAcceptPause{100};

int WorkerCount(int asked)
{
    if (asked > 0)
        return asked;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

bool IsOutOfFiles(const error_code& error)
{
    return error == asio::error::no_descriptors || error.value() == ENFILE || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory;
}

} // namespace

long RaiseOpenFileLimit(long wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != RLIM_INFINITY && static_cast<long>(limit.rlim_cur) < wanted) {
        const rlim_t raised = limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted)
                                                              : std::min(limit.rlim_max, static_cast<rlim_t>(wanted));
        limit.rlim_cur = raised;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<long>(limit.rlim_cur);
}

CCentralHttpFront::CCentralHttpFront(Handler handler, CCentralHttpOptions options)
    : m_handler(std::move(handler)), m_options(options), m_acceptor(m_loop), m_acceptAgain(m_loop),
      m_drainDeadline(m_loop), m_workers(static_cast<size_t>(WorkerCount(options.workers)))
{
}

CCentralHttpFront::~CCentralHttpFront()
{
    Stop();
    m_workers.join();
}

void CCentralHttpFront::UseTls(const CTlsContext& context)
{
    // The same settings as the local servers': the loop's TLS context shares the handle, which
    // stays alive as long as either holds it.
    SSL_CTX_up_ref(context.Handle());
    m_tls = std::make_unique<asio::ssl::context>(context.Handle());
}

int CCentralHttpFront::Start(const std::string& host, int port, std::string* error)
{
    if (m_loopThread.joinable()) {
        if (error)
            *error = "the server is already running";
        return -1;
    }
    RaiseOpenFileLimit(m_options.maxConnections + kSpareFiles);
    if (!Listen(host, port, error))
        return -1;
    const int bound = m_acceptor.local_endpoint().port();
    // A front stopped before starts afresh.
    m_loop.restart();
    m_draining = false;
    m_keepLooping.emplace(m_loop.get_executor());
    m_running = true;
    Accept();
    m_loopThread = std::thread([this] { m_loop.run(); });
    return bound;
}

bool CCentralHttpFront::Listen(const std::string& host, int port, std::string* error)
{
    error_code failure;
    tcp::resolver resolver(m_loop);
    const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, failure);
    if (!failure && found.empty())
        failure = asio::error::host_not_found;
    if (!failure) {
        const tcp::endpoint endpoint = found.begin()->endpoint();
        m_acceptor.open(endpoint.protocol(), failure);
        // Address reuse alone keeps quick restarts; never port reuse, which would let a second
        // server take half of this one's clients.
        if (!failure)
            m_acceptor.set_option(asio::socket_base::reuse_address(true), failure);
        if (!failure)
            m_acceptor.bind(endpoint, failure);
        if (!failure)
            m_acceptor.listen(asio::socket_base::max_listen_connections, failure);
    }
    if (!failure)
        return true;
    error_code ignored;
    m_acceptor.close(ignored);
    if (error)
        *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + failure.message();
    return false;
}

void CCentralHttpFront::Stop()
{
    if (!m_loopThread.joinable())
        return;
    m_running = false;
    asio::post(m_loop, [this] { BeginDrain(); });
    // The loop ends by itself once the last connection and the last request in hand are done.
    m_keepLooping.reset();
    m_loopThread.join();
}

void CCentralHttpFront::Accept()
{
    m_acceptor.async_accept([this](const error_code& error, tcp::socket socket) { OnAccepted(error, std::move(socket)); });
}

void CCentralHttpFront::OnAccepted(const error_code& error, tcp::socket socket)
{
    if (m_draining || !m_acceptor.is_open())
        return;
    if (!error) {
        Admit(std::move(socket));
        Accept();
        return;
    }
    if (!IsOutOfFiles(error)) {
        Accept();
        return;
    }
    m_acceptAgain.expires_after(kAcceptPause);
    m_acceptAgain.async_wait([this](const error_code& cancelled) {
        if (!cancelled && !m_draining)
            Accept();
    });
}

// A connection beyond the limits is closed at once, before it costs anything more.
void CCentralHttpFront::Admit(tcp::socket socket)
{
    error_code failure;
    const tcp::endpoint peer = socket.remote_endpoint(failure);
    if (failure)
        return;
    if (m_connections.size() >= static_cast<size_t>(m_options.maxConnections))
        return;
    int& fromPeer = m_perAddress[peer.address()];
    if (fromPeer >= m_options.maxConnectionsPerAddress) {
        if (fromPeer == 0)
            m_perAddress.erase(peer.address());
        return;
    }
    // No Nagle delay: an answer's head and body may go out as separate writes, and a client that
    // delays its acknowledgement would otherwise hold the body back for 40 ms.
    socket.set_option(tcp::no_delay(true), failure);
    CCentralHttpStream stream = m_tls ? CCentralHttpStream(std::move(socket), *m_tls) : CCentralHttpStream(std::move(socket));
    auto connection = std::make_shared<CCentralHttpConnection>(static_cast<ICentralHttpHost&>(*this), std::move(stream),
                                                               peer.address());
    ++fromPeer;
    m_connections.emplace(connection.get(), connection);
    m_open = m_connections.size();
    connection->Begin();
}

void CCentralHttpFront::Forget(CCentralHttpConnection& connection)
{
    if (m_connections.erase(&connection) == 0)
        return;
    m_open = m_connections.size();
    const auto counted = m_perAddress.find(connection.Peer());
    if (counted != m_perAddress.end() && --counted->second <= 0)
        m_perAddress.erase(counted);
    if (m_draining && m_connections.empty())
        m_drainDeadline.cancel();
}

void CCentralHttpFront::Dispatch(std::string body, Done done)
{
    // The work guard keeps the loop alive while the request is on a worker: its answer still
    // has to be written.
    asio::post(m_workers, [this, body = std::move(body), done = std::move(done),
                           alive = asio::make_work_guard(m_loop)]() mutable {
        std::optional<std::string> answer;
        try {
            answer = m_handler(std::move(body));
        } catch (...) {
            // A failure inside the server costs this request (a 500 and a close), not the worker.
            answer.reset();
        }
        asio::post(m_loop, [done = std::move(done), answer = std::move(answer)]() mutable { done(std::move(answer)); });
    });
}

void CCentralHttpFront::BeginDrain()
{
    m_draining = true;
    error_code ignored;
    m_acceptor.close(ignored);
    m_acceptAgain.cancel();
    std::vector<std::shared_ptr<CCentralHttpConnection>> open;
    for (const auto& entry : m_connections)
        if (auto connection = entry.second.lock())
            open.push_back(std::move(connection));
    for (const auto& connection : open)
        connection->CloseIfIdle();
    if (m_connections.empty())
        return;
    m_drainDeadline.expires_after(std::chrono::seconds(m_options.drainSeconds));
    m_drainDeadline.async_wait([this](const error_code& cancelled) {
        if (!cancelled)
            CloseAll();
    });
}

void CCentralHttpFront::CloseAll()
{
    std::vector<std::shared_ptr<CCentralHttpConnection>> open;
    for (const auto& entry : m_connections)
        if (auto connection = entry.second.lock())
            open.push_back(std::move(connection));
    for (const auto& connection : open)
        connection->Close();
}
