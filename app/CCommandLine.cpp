#include "app/CCommandLine.h"

CCommandLine CCommandLine::Parse(int argc, const char* const* argv)
{
    CCommandLine line;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            line.words.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "--home") {
            if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
                line.error = "--home needs a folder";
                return line;
            }
            line.home = argv[++i];
        } else if (word.rfind("--home=", 0) == 0) {
            line.home = word.substr(7);
            if (line.home.empty()) {
                line.error = "--home needs a folder";
                return line;
            }
        } else if (word == "--headless") {
            line.headless = true;
        } else if (word == "--listen-any") {
            line.listenAny = true;
        } else if (word == "--help" || word == "-h") {
            line.help = true;
        } else if (!line.Command().empty()) {
            // After the command word, a value such as a negative number or an option of the
            // command's own ("--login") belongs to the command.
            line.words.push_back(word);
        } else {
            line.error = "unknown option '" + word + "'";
            return line;
        }
    }
    return line;
}

std::string CCommandLine::Command() const
{
    for (const std::string& word : words)
        if (!IsSwitch(word))
            return word;
    return {};
}
