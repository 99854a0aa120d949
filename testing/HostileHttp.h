#pragma once
// The requests a hostile or broken HTTP peer sends the central server, each with the status
// line it must get before its connection is closed.

#include "server/CCentralHttpLimits.h"

#include <cstdint>
#include <string>
#include <vector>

namespace centraltest {

struct BadRequest {
    const char* name;
    std::string bytes;
    const char* statusLine;
};

inline std::string Garbage(size_t size)
{
    std::string bytes(size, '\0');
    uint32_t state = 12345;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    bytes[0] = '\x01';   // never a method's first letter
    return bytes;
}

inline std::vector<BadRequest> BadRequests()
{
    const std::string post = "POST /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    return {
        {"HugeLength", post + "Content-Length: 99999999999\r\n\r\n", "HTTP/1.1 413 Payload Too Large"},
        {"OneByteOverTheLimit", post + "Content-Length: " + std::to_string(CCentralHttpOptions{}.maxBodyBytes + 1) +
                                    "\r\n\r\nabc",
         "HTTP/1.1 413 Payload Too Large"},
        {"NegativeLength", post + "Content-Length: -5\r\n\r\nhello", "HTTP/1.1 400 Bad Request"},
        {"LengthNotANumber", post + "Content-Length: 12abc\r\n\r\nhello", "HTTP/1.1 400 Bad Request"},
        {"TwoLengths", post + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", "HTTP/1.1 400 Bad Request"},
        {"NoLength", post + "\r\n", "HTTP/1.1 411 Length Required"},
        {"Chunked", post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
        {"BinaryGarbage", Garbage(10 * 1024), "HTTP/1.1 400 Bad Request"},
        {"NotHttp", "HELLO THERE\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"HeadTooLong", post + "X-Padding: " + std::string(40 * 1024, 'p') + "\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.1 400 Bad Request"},
        {"NotPost", "GET /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
    };
}

} // namespace centraltest
