#include "foundation/CZelThread.h"

#include "foundation/CZelWin32Locker.h"
#include "foundation/XTOOError.h"

#include <chrono>
#include <condition_variable>
#include <cstring>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

struct CZelThread::State {
    CZelEvent stop{true, false};
    mutable std::mutex mutex;
    std::condition_variable endedChanged;
    bool ended = false;
    int exitCode = 0;
    int64_t kernelId = -1;
    std::thread::id id;
};

namespace {

// The thread object whose body runs on this thread and its state. The pointer to the object
// is only compared, never followed, so CheckStop works even after the owner gave up on it.
struct CurrentThread {
    const CZelThread* object = nullptr;
    CZelThread::State* state = nullptr;
};
thread_local CurrentThread t_current;

} // namespace

CZelThread::CZelThread() : m_state(std::make_shared<State>()) {}

CZelThread::~CZelThread()
{
    m_check = 0;
    if (!m_started.load())
        return;
    m_state->stop.Signal();
    if (Join(m_destroyWaitMs))
        return;
    std::lock_guard<std::mutex> guard(m_threadMutex);
    if (m_thread.joinable())
        m_thread.detach();
}

void CZelThread::Body(std::shared_ptr<State> state, CZelThread* self)
{
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->kernelId = static_cast<int64_t>(::syscall(SYS_gettid));
        state->id = std::this_thread::get_id();
    }
    t_current = CurrentThread{self, state.get()};
    int code;
    try {
        code = self->Run();
    } catch (const eExitThread&) {
        code = 0;
    } catch (...) {
        code = kExitCodeThrown;
    }
    t_current = CurrentThread{};
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->exitCode = code;
        state->ended = true;
    }
    state->endedChanged.notify_all();
}

bool CZelThread::Start()
{
    std::lock_guard<std::mutex> guard(m_threadMutex);
    if (m_started.load())
        return false;
    {
        std::lock_guard<std::mutex> stateGuard(m_state->mutex);
        m_state->ended = false;
    }
    // Marked before the thread exists: its body may already ask whether it was started.
    m_started.store(true);
    try {
        m_thread = std::thread(&CZelThread::Body, m_state, this);
    } catch (...) {
        {
            std::lock_guard<std::mutex> stateGuard(m_state->mutex);
            m_state->ended = true;    // releases anyone already waiting for it
        }
        m_state->endedChanged.notify_all();
        m_started.store(false);
        return false;
    }
    return true;
}

bool CZelThread::Join(int ms)
{
    if (!m_started.load())
        return true;
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        if (!m_state->ended && m_state->id == std::this_thread::get_id())
            return false;    // a thread cannot wait for its own end
        auto ended = [this] { return m_state->ended; };
        if (ms < 0)
            m_state->endedChanged.wait(lock, ended);
        else if (!m_state->endedChanged.wait_for(lock, std::chrono::milliseconds(ms), ended))
            return false;
    }
    std::lock_guard<std::mutex> guard(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
    return true;
}

bool CZelThread::StopAndWait(int ms)
{
    m_state->stop.Signal();
    return Join(ms);
}

CZelThread::State& CZelThread::CallerState()
{
    if (t_current.object == this)
        return *t_current.state;
    return *m_state;
}

int CZelThread::CheckStop(int ms)
{
    if (CallerState().stop.Wait(ms))
        throw eExitThread();
    return kZelWaitTimeout;
}

void CZelThread::SignalStop()
{
    CallerState().stop.Signal();
}

bool CZelThread::IsStopSignalled() const
{
    return m_state->stop.IsSignalled();
}

CZelEvent& CZelThread::StopEvent()
{
    return CallerState().stop;
}

bool CZelThread::HasEnded() const
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    return m_state->ended;
}

std::optional<int> CZelThread::ExitCode() const
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    if (!m_state->ended)
        return std::nullopt;
    return m_state->exitCode;
}

int64_t CZelThread::ThreadId() const
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    return m_state->kernelId;
}

void CZelThread::SetCurrentThreadName(const char* name)
{
    if (!name)
        return;
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}
