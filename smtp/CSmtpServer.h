#pragma once
// RunSmtpServer: the body of the SMTP server thread (mode 1). Listens on 127.0.0.1 (every
// address when the user asked for it) and serves one connection at a time, each with a fresh
// desk from the factory, until the thread is told to stop, listening fails, or accepting has
// failed too often. A session that fails in any way ends alone; the server goes on. A stop
// request also ends the session in progress, so the thread ends within a fraction of a second.

#include "foundation/CZelString.h"

#include <cstdint>
#include <functional>
#include <memory>

class CProtocolListData;
class CZelStartServerThread;
class ISmtpMailDesk;

using DeskFactory = std::function<std::unique_ptr<ISmtpMailDesk>()>;

// Logs to the process-wide SMTP log.
void RunSmtpServer(int32_t port, CZelStartServerThread& self, DeskFactory makeDesk);
void RunSmtpServer(int32_t port, CZelStartServerThread& self, DeskFactory makeDesk, CProtocolListData& log);

// The machine's host name, as the greeting shows it ("<unknown>" when it has none).
CZelString SmtpLocalHostName();
