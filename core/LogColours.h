#pragma once
// The one table of log colours: a kind of line in one of the two logs gets a background and a
// text colour, as the log pages show them and as a saved log file writes them.

#include "core/LogKind.h"

#include <cstdint>

// Colours are 0x00BBGGRR (red in the lowest byte); -1 is the list's default.
inline constexpr int32_t kLogDefaultColour = -1;

struct LogColours {
    int32_t background = kLogDefaultColour;
    int32_t text = kLogDefaultColour;
};

LogColours ColoursOf(LogName log, LogKind kind);
