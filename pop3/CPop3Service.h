#pragma once
// InstallPop3Services: gives the service threads of the incoming mail their bodies - mode 2
// the local POP3 server on the configured port, mode 4 the inbox download loop. Called once at
// the gateway's start, before the service threads start.

void InstallPop3Services();
