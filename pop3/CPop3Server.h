#pragma once
// RunPop3Server: the body of the POP3 server thread (mode 2). Listens on 127.0.0.1 (every
// address when the user asked for it) and serves each connection on a thread of its own, with
// a fresh desk from the factory, until the thread is told to stop or accepting has failed too
// often. Ended sessions are reaped as the listener goes round; at most kPop3SessionLimit run at
// once, and a connection beyond them is turned away at once. A stop request aborts the live
// sessions' connections, so the server ends within a fraction of a second (a session waiting on
// the central server ends when its desk returns).

#include <cstdint>
#include <functional>
#include <memory>

class CProtocolListData;
class CZelStartServerThread;
class IPop3Desk;

using Pop3DeskFactory = std::function<std::unique_ptr<IPop3Desk>()>;

// Logs to the process-wide POP3 log.
void RunPop3Server(int32_t port, CZelStartServerThread& self, Pop3DeskFactory makeDesk);
void RunPop3Server(int32_t port, CZelStartServerThread& self, Pop3DeskFactory makeDesk, CProtocolListData& log);
