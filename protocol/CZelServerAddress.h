#pragma once
// CZelServerAddress: where the central server is. The caller says, at the start of each unit
// of work; the protocol never looks it up itself.

#include "foundation/CZelString.h"

struct CZelServerAddress {
    CZelString server;   // "host" or "host:port" (port 80 when none is given)
    CZelString url;      // the path every request is posted to
};
