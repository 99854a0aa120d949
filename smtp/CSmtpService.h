#pragma once
// InstallSmtpServices: gives the service threads of the outgoing mail their bodies - mode 1
// the local SMTP server on the configured port, mode 3 the outbox upload loop. Called once at
// the gateway's start, before the service threads start.

void InstallSmtpServices();
