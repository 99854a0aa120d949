#pragma once
// The table of `velmo` subcommands. Each command plugs in with its name, a usage line and a
// handler that gets the shared options and its own arguments and returns the exit code.

#include "app/CCommandLine.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

struct CCommandContext {
    const CCommandLine& line;
    std::vector<std::string> args;  // the words after the command name
    std::ostream& out;
    std::ostream& err;
};

class CCommandTable {
public:
    using Handler = std::function<int(CCommandContext&)>;

    void Add(std::string name, std::string usage, Handler handler);
    // Runs the command named by the line's first word. 2 with a message on `err` when the
    // name is not in the table.
    int Dispatch(const CCommandLine& line, std::ostream& out, std::ostream& err) const;
    bool Has(const std::string& name) const;
    // "usage:" followed by one line per command.
    std::string Usage() const;

private:
    struct Entry {
        std::string name;
        std::string usage;
        Handler handler;
    };
    std::vector<Entry> m_entries;
};

// Exit codes shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
