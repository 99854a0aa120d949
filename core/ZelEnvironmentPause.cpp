#include "core/ZelEnvironmentPause.h"

#include <cstdlib>

int EnvironmentPauseMs(const char* variable, int defaultMs)
{
    const char* text = std::getenv(variable);
    if (!text || !*text)
        return defaultMs;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == 0 && value >= 1 && value <= defaultMs) ? static_cast<int>(value) : defaultMs;
}
