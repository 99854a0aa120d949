#include "foundation/ZelDateTime.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

bool LocalTime(int64_t time, std::tm& parts)
{
    const auto seconds = static_cast<std::time_t>(time);
    if (static_cast<int64_t>(seconds) != time)
        return false;
    return localtime_r(&seconds, &parts) != nullptr;
}

} // namespace

CZelString DateText(int64_t time, int style)
{
    std::tm parts{};
    if (!LocalTime(time, parts))
        return CZelString("error_getting_date");
    const char* format = style == 2 ? "%02d.%02d.%d" : style == 0 ? "%2d.%02d.%d" : "%d.%02d.%d";
    char buffer[48];
    const int n = std::snprintf(buffer, sizeof buffer, format, parts.tm_mday, parts.tm_mon + 1,
                                parts.tm_year + 1900);
    return CZelString(buffer, n);
}

CZelString TimeText(int64_t time)
{
    std::tm parts{};
    if (!LocalTime(time, parts))
        return CZelString("error_getting_time");
    char buffer[48];
    const int n = std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    return CZelString(buffer, n);
}

CZelString DateTimeText(int64_t time, int style)
{
    const CZelString date = DateText(time, style);
    const CZelString clock = TimeText(time);
    if (date.IsEmpty() || clock.IsEmpty())
        return {};
    return date + " " + clock;
}

const char* IpText(uint32_t address, bool fixedWidth, char (&buffer)[kIpTextSize])
{
    std::snprintf(buffer, kIpTextSize, fixedWidth ? "%03u.%03u.%03u.%03u" : "%u.%u.%u.%u", address >> 24,
                  (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
    return buffer;
}

CZelString IpText(uint32_t address, bool fixedWidth)
{
    char buffer[kIpTextSize];
    return CZelString(IpText(address, fixedWidth, buffer));
}

int64_t NowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
