#pragma once
// CCentralHttpServer: the central server's HTTP side. Every POST, on any path, is one request
// body for CCentralServer::Handle; the answer goes back as 200 with an octet-stream body (an
// empty body when the request gets no answer). Connections are kept alive and served by a pool
// of threads; bodies are bounded and slow peers time out.

#include "server/CCentralServer.h"

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace httplib { class Server; }

struct CCentralHttpOptions {
    // The largest upload block (5000 KB) with room for its record, seal and document.
    size_t maxBodyBytes = 5000 * 1024 + 1024 * 1024;
    int threads = 16;
    int readTimeoutSeconds = 60;
    int writeTimeoutSeconds = 60;
    int keepAliveSeconds = 60;
};

class CCentralHttpServer {
public:
    CCentralHttpServer(CCentralServer& server, CCentralHttpOptions options = {});
    ~CCentralHttpServer();   // stops and joins
    CCentralHttpServer(const CCentralHttpServer&) = delete;
    CCentralHttpServer& operator=(const CCentralHttpServer&) = delete;

    // Binds `host`:`port` (port 0 picks a free one) and serves on a thread of its own.
    // Returns the bound port, or -1 with `error` set when the address cannot be had.
    int Start(const std::string& host, int port, std::string* error = nullptr);
    // Stops listening, lets the requests in hand finish, and joins.
    void Stop();
    bool IsRunning() const;

private:
    CCentralServer& m_server;
    CCentralHttpOptions m_options;
    std::unique_ptr<httplib::Server> m_http;
    std::thread m_thread;
};
