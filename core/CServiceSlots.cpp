#include "core/CServiceSlots.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

std::mutex& AbandonedLock()
{
    static std::mutex lock;
    return lock;
}

// Deliberately never destroyed: a body that ignored its stop may still be running on the
// object, and a static destructor at exit would otherwise free it under that body.
std::vector<std::unique_ptr<CZelStartServerThread>>& Abandoned()
{
    static auto* threads = new std::vector<std::unique_ptr<CZelStartServerThread>>();
    return *threads;
}

std::unique_ptr<CZelStartServerThread> MakeServiceThread(int32_t mode, int32_t port)
{
    return std::make_unique<CZelStartServerThread>(mode, port);
}

} // namespace

CServiceSlots& CServiceSlots::Global()
{
    static CServiceSlots slots;
    return slots;
}

CServiceSlots::CServiceSlots() : m_factory(MakeServiceThread) {}

CServiceSlots::~CServiceSlots()
{
    Stop();
}

void CServiceSlots::SetFactory(Factory factory)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_factory = factory ? std::move(factory) : Factory(MakeServiceThread);
}

void CServiceSlots::SetStopWaitMs(int ms)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopWaitMs = std::max(0, ms);
}

void CServiceSlots::Start(int32_t smtpPort, int32_t pop3Port)
{
    std::lock_guard<std::mutex> hold(m_lock);
    FillSlot(0, CZelStartServerThread::kModeSmtpServer, smtpPort);
    FillSlot(1, CZelStartServerThread::kModePop3Server, pop3Port);
    FillSlot(2, CZelStartServerThread::kModeSmtpTransfers, 0);
    FillSlot(3, CZelStartServerThread::kModePop3Transfers, 0);
}

void CServiceSlots::FillSlot(int index, int32_t mode, int32_t port)
{
    std::unique_ptr<CZelStartServerThread>& slot = m_slots[index];
    if (slot && !slot->Join(0))
        return;  // still running: never a second one
    slot.reset();
    std::unique_ptr<CZelStartServerThread> thread = m_factory(mode, port);
    if (thread && thread->Start())
        slot = std::move(thread);
}

void CServiceSlots::Stop(const std::function<void()>& afterSignal)
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto& slot : m_slots)
        if (slot)
            slot->StopAndWait(0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_stopWaitMs);
    if (afterSignal)
        afterSignal();
    for (auto& slot : m_slots) {
        if (!slot)
            continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const bool ended = slot->StopAndWait(static_cast<int>(std::max<int64_t>(0, left.count())));
        if (ended)
            slot.reset();
        else
            Abandon(std::move(slot));
    }
}

void CServiceSlots::Abandon(std::unique_ptr<CZelStartServerThread> thread)
{
    std::lock_guard<std::mutex> hold(AbandonedLock());
    Abandoned().push_back(std::move(thread));
}

int CServiceSlots::AbandonedCount()
{
    std::lock_guard<std::mutex> hold(AbandonedLock());
    return static_cast<int>(Abandoned().size());
}

CZelStartServerThread* CServiceSlots::Slot(int index) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (index < 0 || index >= kSlotCount)
        return nullptr;
    return m_slots[index].get();
}
