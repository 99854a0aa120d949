#pragma once
// CCentralHttpServer: the central server's HTTP side. Every POST, on any path, is one request
// body for CCentralServer::Handle; the answer goes back as 200 with an octet-stream body (an
// empty body when the request gets no answer). Connections are kept alive and cost a socket and
// a buffer on one event loop; the requests run on a pool of workers, one per core, so a slow
// one never holds up the loop. Malformed, oversized, chunked and slow requests are answered
// (400, 411, 413, 501) or dropped without reaching the server. Over TLS the same holds, the
// handshake being part of the request head's time.

#include "server/CCentralHttpLimits.h"
#include "server/CCentralServer.h"

#include <memory>
#include <string>

class CCentralHttpFront;
class CTlsContext;

class CCentralHttpServer {
public:
    CCentralHttpServer(CCentralServer& server, CCentralHttpOptions options = {});
    ~CCentralHttpServer();   // stops and joins
    CCentralHttpServer(const CCentralHttpServer&) = delete;
    CCentralHttpServer& operator=(const CCentralHttpServer&) = delete;

    // Serves HTTPS with these settings instead of plain HTTP; called before Start.
    void UseTls(const CTlsContext& context);
    // Binds `host`:`port` (port 0 picks a free one) and serves on a thread of its own.
    // Returns the bound port, or -1 with `error` set when the address cannot be had.
    int Start(const std::string& host, int port, std::string* error = nullptr);
    // Stops listening, lets the requests in hand finish (within the drain deadline), and joins.
    void Stop();
    bool IsRunning() const;
    // Connections held open now.
    size_t OpenConnections() const;

private:
    std::unique_ptr<CCentralHttpFront> m_front;
};
