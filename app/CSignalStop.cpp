#include "app/CSignalStop.h"

#include <csignal>
#include <ctime>
#include <pthread.h>

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void CSignalStop::BlockStopSignals()
{
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

CSignalStop::CSignalStop(std::function<void()> onStop) : m_onStop(std::move(onStop))
{
    BlockStopSignals();
    m_thread = std::thread([this] { WaitLoop(); });
}

CSignalStop::~CSignalStop()
{
    m_done.store(true);
    if (m_thread.joinable())
        m_thread.join();
}

void CSignalStop::WaitLoop()
{
    const sigset_t set = StopSignals();
    // Short waits so that the destructor is not held up by a quiet process.
    const timespec slice{0, 100 * 1000 * 1000};
    while (!m_done.load()) {
        const int signal = sigtimedwait(&set, nullptr, &slice);
        if (signal != SIGINT && signal != SIGTERM)
            continue;
        if (m_taken.fetch_add(1) == 0 && m_onStop)
            m_onStop();
    }
}
