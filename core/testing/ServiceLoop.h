#pragma once
// ServiceLoop: a service body (an upload or download loop) on a thread of its own, with the
// service thread object it waits on, so a test can start it, ask it to stop and see it end.

#include "core/CZelStartServerThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace velmo_testing {

class ServiceLoop {
public:
    explicit ServiceLoop(int32_t mode) : m_service(mode, 0) {}
    ~ServiceLoop() { Stop(); }
    ServiceLoop(const ServiceLoop&) = delete;
    ServiceLoop& operator=(const ServiceLoop&) = delete;

    void Start(std::function<void(CZelStartServerThread& service)> body)
    {
        m_thread = std::thread([this, body = std::move(body)] {
            body(m_service);
            m_ended = true;
        });
    }

    // Asks the body to stop and waits for it; nothing when it was never started.
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        m_service.SignalStop();
        m_thread.join();
    }

    CZelStartServerThread& Service() { return m_service; }
    bool Ended() const { return m_ended.load(); }

private:
    CZelStartServerThread m_service;
    std::atomic<bool> m_ended{false};
    std::thread m_thread;
};

} // namespace velmo_testing
