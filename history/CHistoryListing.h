#pragma once
// The history as lines for a reader: each shown entry (the last 100 of each section) with its
// direction, its local time, the other side's address, its message id and what happened to it,
// newest first.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"

#include <cstdint>
#include <string>
#include <vector>

struct CHistoryLine {
    static constexpr char kOut[] = "out";
    static constexpr char kIn[] = "in";
    // Status words.
    static constexpr char kSent[] = "sent";
    static constexpr char kDelivered[] = "delivered";
    static constexpr char kDownloaded[] = "downloaded";
    static constexpr char kRetrieved[] = "retrieved";
    static constexpr char kSpam[] = "spam";
    static constexpr char kVirus[] = "virus";
    // Shown for an empty field.
    static constexpr char kNone[] = "-";

    bool outgoing = false;
    int64_t time = 0;              // microseconds since 1970 (UTC); 0 when the entry has none
    CZelString peer;
    CZelString messageId;
    std::vector<std::string> words;

    // "out  10.12.2026 16:15:35.123  bob@example.org  5.1  sent delivered spam": fields two
    // blanks apart, the time in local time, "-" for an empty field.
    std::string Text() const;
};

// The shown entries of both sections, newest first: by the entry's own time (the local one
// where it has one, else the server's), the later entry of a section first where they tie.
std::vector<CHistoryLine> HistoryLines(const CZelXmlDocument& history);
