#pragma once
// The networking library as a whole: start and stop, the main socket thread, the list of
// file-socket threads (one per blocking connection or server), the tick counter and the
// debug trace.

#include "foundation/CZelString.h"

#include <cstdint>

class CZelTcpFileMainThread;
class CZelFileSockThread;

// Starts the library and its main socket thread. On this platform the sockets layer needs no
// start of its own, so a failure can only be the main thread's; with `throwOnError` that
// failure throws XTOOSockErr "WSAStartup failed". True when the library is initialized.
bool SocketsStart(bool throwOnError);
// Stops every file-socket thread, then the main thread; returns within the stop bound
// (kSocketsStopBoundMs) even when connections are still open.
void SocketsStop();
bool SocketsInitialized();
inline constexpr int kSocketsStopBoundMs = 10000;

// Ends every blocking connection and server at once (their waits return as closed) while the
// library stays up for new ones.
void StopFileSockThreads();

// Milliseconds of a monotonic clock: the time base of timers and time-outs.
int64_t ZelTickMs();

// Debug trace to standard error: lines at or below the level set are printed (0 = none).
void SetSocketsTraceLevel(int level);
int SocketsTraceLevel();
void ZelSockTrace(int level, const CZelString& line);
// Whether lines of `level` are printed (so that callers build them only then).
bool ZelSockTraceOn(int level);

// --- library state, for the blocking connection layer; call these under the data lock ---
CZelTcpFileMainThread* ZelSocketsMainThreadLocked();
void ZelAddFileSockThreadLocked(CZelFileSockThread* thread);
void ZelRemoveFileSockThreadLocked(CZelFileSockThread* thread);
size_t ZelFileSockThreadCountLocked();
