#pragma once
// The central server the gateway's configuration names (`Server`, `Url` and, for HTTPS,
// `ServerFingerprint`), read at the
// moment of the call, for a unit of work about to start.

#include "protocol/CZelServerAddress.h"

CZelServerAddress ConfiguredServerAddress();
