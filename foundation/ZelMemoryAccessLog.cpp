#include "foundation/ZelMemoryAccessLog.h"

#include "foundation/CZelFile.h"
#include "foundation/ZelPath.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

bool WriteMemoryAccessLog(const char* checkName, const void* pointer, int32_t length, const char* sourceFile,
                          int sourceLine, const char* baseFolder)
{
    try {
        const CZelString base = baseFolder && *baseFolder ? CZelString(baseFolder) : CZelString();
        const CZelString folder = base.IsEmpty() ? CZelString(kMemoryAccessLogFolder)
                                                 : ZelPath::Join(base, kMemoryAccessLogFolder);
        const CZelString file = base.IsEmpty() ? CZelString(kMemoryAccessLogFile)
                                               : ZelPath::Join(base, kMemoryAccessLogFile);
        CZelFile::MkDirs(folder);

        const time_t now = std::time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        char line[1024];
        const int n = std::snprintf(line, sizeof line,
                                    "%2d.%02d.%d %02d:%02d:%02d: %s: memory access error at ptr=%p, len=%d, "
                                    "SrcFile=%s, SrcLine=%d\n",
                                    local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour,
                                    local.tm_min, local.tm_sec, checkName ? checkName : "", pointer,
                                    static_cast<int>(length), sourceFile ? sourceFile : "unknown", sourceLine);
        if (n <= 0)
            return false;
        size_t size = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
        if (line[size - 1] != '\n')
            line[size - 1] = '\n'; // an overlong source name is cut, the line still ends

        int fd;
        do
            fd = ::open(file.Ptr(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, CZelFile::kPrivateFilePermissions);
        while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return false;
        ssize_t written;
        do
            written = ::write(fd, line, size);
        while (written < 0 && errno == EINTR);
        ::close(fd);
        return written == static_cast<ssize_t>(size);
    } catch (...) {
        return false; // a diagnostic must never become a failure of its own
    }
}
