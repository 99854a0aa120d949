#pragma once
// The lines of a protocol log as texts, for tests that check what a session or a loop wrote.

#include "core/CProtocolListData.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace velmo_testing {

// Every line the log holds, oldest first.
inline std::vector<std::string> LogLines(const CProtocolListData& log)
{
    std::vector<std::string> lines;
    CProtocolLine line;
    for (int i = 0; log.LineAt(i, &line); ++i)
        lines.push_back(line.text.ToStd());
    return lines;
}

// The lines written since line number `first`.
inline std::vector<std::string> LogLinesFrom(const CProtocolListData& log, int64_t first)
{
    std::vector<std::string> lines;
    CProtocolLine line;
    for (int64_t number = std::max(first, log.FirstLineNumber()); log.LineByNumber(number, &line); ++number)
        lines.push_back(line.text.ToStd());
    return lines;
}

// Whether a line the log holds contains `part`.
inline bool LogHasLine(const CProtocolListData& log, const std::string& part)
{
    for (const std::string& line : LogLinesFrom(log, 0))
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

// Whether the log's saved text contains `text` (which may span lines).
inline bool LogContains(const CProtocolListData& log, const std::string& text)
{
    return log.SaveText().ToStd().find(text) != std::string::npos;
}

} // namespace velmo_testing
