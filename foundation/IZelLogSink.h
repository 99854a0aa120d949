#pragma once
// IZelLogSink: where library code writes the lines of an activity log it was handed, without
// knowing the log behind it (the gateway's SMTP and POP3 logs implement it).

#include "foundation/CZelString.h"

#include <cstdint>

class IZelLogSink {
public:
    virtual ~IZelLogSink() = default;

    // Appends `text` by the log's line rules (LF ends a line; a text without one leaves the
    // line open); the number of the last line made or changed, or -1.
    virtual int64_t AddStringEx(const CZelString& text) = 0;

    // An English text written in `sourceFile`, in the language the log is read in. As written
    // unless the log knows better.
    virtual CZelString TranslateText(const char* text, const char* sourceFile) const { return CZelString(text); }
};
