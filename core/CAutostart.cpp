#include "core/CAutostart.h"

#include "core/CTranslations.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kCreateError = "CreateRegError %S %d";
constexpr const char* kWriteError = "WriteRegError %S %d";
constexpr const char* kUserError = "Error: %S";
constexpr const char* kAddedText = "Successfull";
constexpr const char* kRemovedText = "Sad, but completed";
constexpr const char* kUnknownError = "Unknown error";
constexpr const char* kTextSource = "VelmoDlg.cpp";  // the window's menus offer these commands

// The failure text: the step with its path and errno, then the system's message.
CZelString Failure(const char* step, const CZelString& path, int code)
{
    return XTOOLastError(Format(step, &path, code), code).GetText();
}

CZelString FolderOf(const CZelString& path)
{
    const int32_t slash = path.ReverseFind('/');
    if (slash <= 0)
        return slash == 0 ? CZelString("/") : CZelString(".");
    return path.Left(slash);
}

// Creates the folder and any missing parents (0700 for new ones); errno on failure, else 0.
int MakeFolders(const std::string& folder)
{
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    const size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (const int code = MakeFolders(folder.substr(0, slash)))
            return code;
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

// Writes the whole text to a temporary file beside the target and renames it over the target,
// so a crash leaves the old entry or the new one, never half of one. errno on failure, else 0.
int WriteWhole(const std::string& path, const CZelString& text)
{
    const std::string temporary = path + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    const char* data = text.Ptr();
    size_t left = static_cast<size_t>(text.Length());
    int code = 0;
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            code = errno;
            break;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (code == 0 && fsync(fd) != 0)
        code = errno;
    if (close(fd) != 0 && code == 0)
        code = errno;
    if (code == 0 && rename(temporary.c_str(), path.c_str()) != 0)
        code = errno;
    if (code != 0)
        unlink(temporary.c_str());
    return code;
}

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return ".";
}

} // namespace

CAutostart::CAutostart() : m_entryPath(DefaultEntryPath()) {}

CAutostart::CAutostart(const CZelString& entryPath) : m_entryPath(entryPath) {}

CZelString CAutostart::DefaultEntryPath()
{
    std::string base;
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && configHome[0] == '/')
        base = configHome;
    else
        base = HomeFolder() + "/.config";
    return CZelString(base + "/autostart/" + kEntryFileName);
}

CZelString CAutostart::QuoteExecArgument(const CZelString& argument)
{
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string out;
    bool quote = argument.IsEmpty();
    for (char c : argument.View())
        if (kReserved.find(c) != std::string_view::npos)
            quote = true;
    if (quote)
        out += '"';
    for (char c : argument.View()) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out += '\\';
        out += c;
    }
    if (quote)
        out += '"';
    // The string escapes of a desktop entry value apply before the Exec quoting rules.
    std::string value;
    for (char c : out) {
        switch (c) {
        case '\\': value += "\\\\"; break;
        case '\n': value += "\\n"; break;
        case '\t': value += "\\t"; break;
        case '\r': value += "\\r"; break;
        default: value += c;
        }
    }
    return CZelString(value);
}

CZelString CAutostart::EntryText(const CZelString& executablePath)
{
    const CZelString exec = QuoteExecArgument(executablePath);
    return Format("[Desktop Entry]\n"
                  "Type=Application\n"
                  "Name=Velmo\n"
                  "Comment=Secure mail gateway\n"
                  "Exec=%S\n"
                  "Terminal=false\n"
                  "X-GNOME-Autostart-enabled=true\n",
                  &exec);
}

CAutostart::Outcome CAutostart::Add(const CZelString& executablePath) const
try {
    Outcome outcome;
    const CZelString folder = FolderOf(m_entryPath);
    if (const int code = MakeFolders(folder.ToStd())) {
        outcome.failure = Failure(kCreateError, folder, code);
        return outcome;
    }
    if (const int code = WriteWhole(m_entryPath.ToStd(), EntryText(executablePath))) {
        outcome.failure = Failure(kWriteError, m_entryPath, code);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
} catch (...) {
    Outcome outcome;
    outcome.unknown = true;
    return outcome;
}

CAutostart::Outcome CAutostart::Remove() const
{
    Outcome outcome;
    if (unlink(m_entryPath.Ptr()) != 0 && errno != ENOENT) {
        // Saying "completed" while the entry stays would mislead: report why it could not go.
        outcome.failure = Failure(kWriteError, m_entryPath, errno);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

CZelString CAutostart::AddMessage(const Outcome& outcome)
{
    if (outcome.unknown)
        return kUnknownError;
    if (!outcome.ok)
        return Format(kUserError, &outcome.failure);
    return Translate(kAddedText, kTextSource);
}

CZelString CAutostart::RemoveMessage(const Outcome& outcome)
{
    if (outcome.unknown)
        return kUnknownError;
    if (!outcome.ok)
        return Format(kUserError, &outcome.failure);
    return Translate(kRemovedText, kTextSource);
}
