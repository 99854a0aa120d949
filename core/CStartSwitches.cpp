#include "core/CStartSwitches.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<bool> g_convertRequested{false};

std::mutex& ConvertStepsLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<CStartSwitches::ConvertStep>& ConvertSteps()
{
    static std::vector<CStartSwitches::ConvertStep> steps;
    return steps;
}
} // namespace

CStartSwitches CStartSwitches::Parse(const std::vector<std::string>& words)
{
    CStartSwitches result;
    for (const std::string& word : words) {
        if (word == kFirstStart)
            ++result.m_firstStart;
        else if (word == kConvert)
            result.m_convert = true;
    }
    SetConvertRequested(result.m_convert);
    return result;
}

bool CStartSwitches::ConvertRequested() noexcept
{
    return g_convertRequested.load();
}

void CStartSwitches::SetConvertRequested(bool value) noexcept
{
    g_convertRequested.store(value);
}

void CStartSwitches::AddConvertStep(ConvertStep step)
{
    std::lock_guard<std::mutex> hold(ConvertStepsLock());
    ConvertSteps().push_back(std::move(step));
}

int CStartSwitches::RunConvertSteps()
{
    std::vector<ConvertStep> steps;
    {
        std::lock_guard<std::mutex> hold(ConvertStepsLock());
        steps = ConvertSteps();
    }
    for (const ConvertStep& step : steps)
        step();
    return static_cast<int>(steps.size());
}

void CStartSwitches::ClearConvertSteps()
{
    std::lock_guard<std::mutex> hold(ConvertStepsLock());
    ConvertSteps().clear();
}
