#pragma once
// InstallSmtpServices: gives the service threads of the outgoing mail their bodies - mode 1
// the local SMTP server on the configured port, mode 3 the outbox upload loop. Called once at
// the gateway's start, before the service threads start.

#include <cstdint>

void InstallSmtpServices();

// True for a port the SMTP server can listen on; otherwise the refusal is logged and, for a
// run without a window, printed on standard error.
bool AcceptSmtpPort(int32_t port);
