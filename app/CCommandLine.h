#pragma once
// The words of the `velmo` command line: the options every command shares, taken out wherever
// they stand, and the remaining words (a command with its arguments, or start-up switches).

#include <string>
#include <vector>

struct CCommandLine {
    std::string home;         // --home DIR / --home=DIR; empty when not given
    bool headless = false;    // --headless
    bool listenAny = false;   // --listen-any
    bool help = false;        // --help / -h
    std::vector<std::string> words;
    std::string error;        // set when the line cannot be used

    // argv[0] is skipped. "--" ends the options: every later word is kept as it is.
    static CCommandLine Parse(int argc, const char* const* argv);

    // A word that begins with '/' is a start-up switch ("/firststart", "/convert").
    static bool IsSwitch(const std::string& word) { return !word.empty() && word[0] == '/'; }
    // The command word, or "" when the line starts the gateway.
    std::string Command() const;
};
