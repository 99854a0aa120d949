#include "core/CExitFlag.h"

#include <atomic>

namespace {
std::atomic<bool> g_exitFlag{false};
}

bool CExitFlag::IsSet() noexcept
{
    return g_exitFlag.load();
}

void CExitFlag::Set(bool value) noexcept
{
    g_exitFlag.store(value);
}
