#pragma once
// The exit flag: set when the user leaves through the exit command (before the pages apply),
// so that a page can tell "closing for good" from an ordinary apply.

class CExitFlag {
public:
    static bool IsSet() noexcept;
    static void Set(bool value) noexcept;
};
