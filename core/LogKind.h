#pragma once
// What a line of an activity log is, said by whoever writes it; how it looks is decided where
// lines are shown or saved (LogColours), so no writer picks a colour.

#include <cstdint>

enum class LogKind : uint8_t {
    Plain,      // what a server or loop reports as it goes
    Error,      // a failure
    Command,    // what the mail client sent
    Reply,      // what the server answered the mail client
    Progress,   // a count that rewrites itself as it grows
};

// Which of the two logs: the same kind looks different in each.
enum class LogName : uint8_t {
    Smtp,
    Pop3,
};
