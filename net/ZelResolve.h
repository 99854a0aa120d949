#pragma once
// Host names and IPv4 addresses. Addresses travel as 32-bit numbers with the first octet in
// the most significant byte (the form "%I" prints), ports as plain integers.

#include "foundation/CZelString.h"

#include <cstdint>
#include <vector>

// Splits "host:port": when the text ends in ':' and a decimal port (0..65535), `host` gets the
// part before it and `port` the number, and the result is true. Otherwise `host` is the whole
// text, `port` is left alone and the result is false.
bool ZelSplitHostPort(const CZelString& text, CZelString& host, int& port);

// A strict dotted IPv4 text ("a.b.c.d", decimal parts 0..255).
bool ZelParseDottedIPv4(const CZelString& text, uint32_t& address);
CZelString ZelDottedIPv4(uint32_t address);

// Every IPv4 address of a name (a dotted text is used as it is, no lookup). A failed lookup
// throws XTOOSockDnsErr "gethostbyname(\"<name>\")", prefixed with `socketName` when given.
std::vector<uint32_t> ZelResolveHost(const CZelString& name, const CZelString& socketName);
// The first of them.
uint32_t ZelResolveFirst(const CZelString& name, const CZelString& socketName);

// The machine's name as the system reports it; empty when it reports none.
CZelString ZelLocalHostName();
