#pragma once
// Runs the built `velmo` (or another program) with arguments, capturing its standard output,
// standard error and exit code.

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace accountstest {

struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
};

inline std::string Quote(const std::string& word)
{
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `scratch` is a folder for the two capture files.
inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& scratch)
{
    std::string command = Quote(program);
    for (const std::string& arg : args)
        command += " " + Quote(arg);
    const std::string out = scratch + "/run.out";
    const std::string err = scratch + "/run.err";
    command += " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null";
    const int status = std::system(command.c_str());
    RunResult result;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = Slurp(out);
    result.err = Slurp(err);
    return result;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace accountstest
