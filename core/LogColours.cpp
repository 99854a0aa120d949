#include "core/LogColours.h"

namespace {

constexpr int32_t kLightRed = 0x00AAAAFF;
constexpr int32_t kLightGreen = 0x00AAFFAA;
constexpr int32_t kSpringGreen = 0x00AAFF00;
constexpr int32_t kPaleYellow = 0x00AAFFFF;
constexpr int32_t kMint = 0x007DFFC8;

int32_t SmtpBackground(LogKind kind)
{
    switch (kind) {
    case LogKind::Error: return kLightRed;
    case LogKind::Command: return kLightGreen;
    case LogKind::Reply: return kSpringGreen;
    case LogKind::Plain:
    case LogKind::Progress: break;
    }
    return kLogDefaultColour;
}

// The POP3 log tells the mail client's lines from the server's by colours of its own.
int32_t Pop3Background(LogKind kind)
{
    switch (kind) {
    case LogKind::Error: return kLightRed;
    case LogKind::Command: return kPaleYellow;
    case LogKind::Reply: return kMint;
    case LogKind::Plain:
    case LogKind::Progress: break;
    }
    return kLogDefaultColour;
}

} // namespace

LogColours ColoursOf(LogName log, LogKind kind)
{
    return {log == LogName::Pop3 ? Pop3Background(kind) : SmtpBackground(kind), kLogDefaultColour};
}
