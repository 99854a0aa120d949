#pragma once
// CCentralHttpOptions: what one HTTP peer may cost the central server. A connection costs a
// socket and a buffer; these bound how long and how much it may hold them.

#include <cstddef>

struct CCentralHttpOptions {
    // The largest upload block (5000 KB) with room for its record, seal and document. A request
    // announcing more is refused with 413 before any of its body is read.
    size_t maxBodyBytes = 5000 * 1024 + 1024 * 1024;
    // The gateway's request head is a few hundred bytes.
    size_t maxHeaderBytes = 16 * 1024;
    // Threads that run the requests (RSA, GOST, SQLite); 0 is one per core.
    int workers = 0;
    // From the connection (or the first byte of a kept-alive one's next request) to the end of
    // the request head.
    int headerTimeoutSeconds = 10;
    // A kept-alive connection with no request in it.
    int keepAliveSeconds = 60;
    // A body (or an answer) that moves under `transferFloorBytesPerSecond` over a window of
    // `transferWindowSeconds` is given up: the peer is dropped.
    size_t transferFloorBytesPerSecond = 1024;
    int transferWindowSeconds = 30;
    int maxConnectionsPerAddress = 256;
    int maxConnections = 10000;
    // On stop: how long the requests in hand may take to finish before their connections go.
    int drainSeconds = 30;
};
