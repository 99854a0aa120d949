#pragma once
// CZelServerAddress: where the central server is. The caller says, at the start of each unit
// of work; the protocol never looks it up itself.

#include "foundation/CZelString.h"

struct CZelServerAddress {
    // "host" or "host:port" (port 80 when none is given); "https://host[:port]" for HTTPS
    // (port 443 when none is given).
    CZelString server;
    CZelString url;           // the path every request is posted to
    // HTTPS only: the SHA-256 fingerprint of the one certificate the server may present; empty
    // to trust the system's certificate authorities and check the host name instead.
    CZelString fingerprint = {};
};
