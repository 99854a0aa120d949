#pragma once
// The process-wide worker slots: at most one key generation, one registration or update and
// one contact list thread exist at a time. A slot holds its thread from the start until the
// owner (the account command that started it, RunWorker) takes the ended thread out.

#include "accounts/CZelContactListModifyThread.h"
#include "accounts/CZelKeysGenThread.h"
#include "accounts/CZelRegisterThread.h"

#include <memory>
#include <mutex>

template<class T>
class CZelWorkerSlot {
public:
    // True while a thread is in the slot (running, or ended and not taken out yet).
    bool IsBusy() const
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_thread != nullptr;
    }

    // Puts the thread in the slot and starts it; false (the thread is left with the caller)
    // when the slot is busy or the thread cannot start.
    bool Start(std::unique_ptr<T>& thread)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_thread || !thread || !thread->Start())
            return false;
        m_thread = std::move(thread);
        return true;
    }

    // The thread once it has ended, taken out of the slot; null while it runs or when empty.
    std::unique_ptr<T> TakeEnded()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_thread || !m_thread->HasEnded())
            return nullptr;
        return std::move(m_thread);
    }

    // The running thread's status text ("" when the slot is empty).
    CZelString Status() const
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_thread ? m_thread->Status() : CZelString();
    }

private:
    mutable std::mutex m_lock;
    std::unique_ptr<T> m_thread;
};

CZelWorkerSlot<CZelKeysGenThread>& KeysGenSlot();
CZelWorkerSlot<CZelRegisterThread>& RegisterSlot();
CZelWorkerSlot<CZelContactListModifyThread>& ContactListSlot();
