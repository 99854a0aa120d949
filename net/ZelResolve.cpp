#include "net/ZelResolve.h"

#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

bool ZelSplitHostPort(const CZelString& text, CZelString& host, int& port)
{
    host = text;
    const int32_t colon = text.ReverseFind(':');
    if (colon < 0 || colon + 1 >= text.Length() || text.Length() - colon - 1 > 5)
        return false;
    int value = 0;
    for (int32_t i = colon + 1; i < text.Length(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535)
        return false;
    host = text.Left(colon);
    port = value;
    return true;
}

bool ZelParseDottedIPv4(const CZelString& text, uint32_t& address)
{
    // inet_pton would also take the text only up to an embedded NUL; refuse those outright.
    if (text.IsEmpty() || text.Find('\0') >= 0)
        return false;
    in_addr parsed{};
    if (inet_pton(AF_INET, text.Ptr(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

CZelString ZelDottedIPv4(uint32_t address)
{
    return Format("%I", address);
}

std::vector<uint32_t> ZelResolveHost(const CZelString& name, const CZelString& socketName)
{
    uint32_t dotted = 0;
    if (ZelParseDottedIPv4(name, dotted))
        return {dotted};

    const CZelString step = Format("gethostbyname(\"%S\")", name);
    if (name.IsEmpty() || name.Find('\0') >= 0)
        throw XTOOSockDnsErr::FromResolverCode(step, socketName, EAI_NONAME);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.Ptr(), nullptr, &hints, &found);
    if (rc == EAI_SYSTEM)
        throw XTOOSockDnsErr(step, socketName, errno);
    if (rc != 0)
        throw XTOOSockDnsErr::FromResolverCode(step, socketName, rc);

    std::vector<uint32_t> addresses;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr)
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        const uint32_t address = ntohl(in->sin_addr.s_addr);
        bool seen = false;
        for (uint32_t known : addresses)
            seen = seen || known == address;
        if (!seen)
            addresses.push_back(address);
    }
    freeaddrinfo(found);
    if (addresses.empty())
        throw XTOOSockDnsErr::FromResolverCode(step, socketName, EAI_NODATA);
    return addresses;
}

uint32_t ZelResolveFirst(const CZelString& name, const CZelString& socketName)
{
    return ZelResolveHost(name, socketName).front();
}

CZelString ZelLocalHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return CZelString();
    return CZelString(name);
}
