#pragma once
// Date, time and IPv4 address texts. Times are seconds since 1970-01-01 00:00 UTC, shown in
// local time.

#include "foundation/CZelString.h"

#include <cstdint>

// Style 2 "%02d.%02d.%d", style 0 "%2d.%02d.%d", others "%d.%02d.%d" (day, month, year);
// "error_getting_date" when the time cannot be converted.
CZelString DateText(int64_t time, int style = 2);
// "%02d:%02d:%02d"; "error_getting_time" when the time cannot be converted.
CZelString TimeText(int64_t time);
// The date, one space, the time.
CZelString DateTimeText(int64_t time, int style = 2);

// Microseconds since 1970-01-01 00:00 UTC by the system clock: the time stamps of the stores,
// the histories and the protocol.
int64_t NowMicroseconds();

// "%d.%d.%d.%d", or "%03d.%03d.%03d.%03d" with `fixedWidth`; first octet in the most
// significant byte.
constexpr int kIpTextSize = 16;
CZelString IpText(uint32_t address, bool fixedWidth = false);
// The same into the caller's buffer; returns `buffer`.
const char* IpText(uint32_t address, bool fixedWidth, char (&buffer)[kIpTextSize]);
