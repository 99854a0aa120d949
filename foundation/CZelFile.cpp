#include "foundation/CZelFile.h"

#include "foundation/ZelPath.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

struct CZelFile::Imp {
    int fd = -1;
    bool standardStream = false;

    ~Imp()
    {
        if (fd >= 0 && !standardStream)
            ::close(fd);
    }
};

namespace {

constexpr char kBadImplementation[] = "Bad implementation";
constexpr int32_t kMaxStringBytes = INT32_MAX - 16;

struct ParsedMode {
    bool valid = true;
    bool read = false;
    bool write = false;
    bool create = false;
    bool makeFolders = false;
    CZelString sharing;
};

ParsedMode ParseMode(const CZelString& mode)
{
    ParsedMode parsed;
    const std::string_view text = mode.View();
    const size_t bar = text.find('|');
    const std::string_view access = text.substr(0, bar);
    const std::string_view sharing = bar == std::string_view::npos ? std::string_view() : text.substr(bar + 1);
    for (char letter : access) {
        switch (letter) {
        case 'R': parsed.read = true; break;
        case 'W': parsed.write = true; break;
        case 'C': parsed.create = true; break;
        case 'D': parsed.makeFolders = true; break;
        default: parsed.valid = false; break;
        }
    }
    for (size_t i = 0; i < sharing.size(); i += 2) {
        const std::string_view pair = sharing.substr(i, 2);
        if (pair != "Sr" && pair != "Sw")
            parsed.valid = false;
    }
    if (!parsed.read && !parsed.write)
        parsed.valid = false;
    parsed.sharing = CZelString(sharing);
    return parsed;
}

int OpenFlags(const ParsedMode& mode)
{
    int flags = O_CLOEXEC;
    flags |= mode.read && mode.write ? O_RDWR : mode.write ? O_WRONLY : O_RDONLY;
    if (mode.create)
        flags |= O_CREAT;
    if (mode.create && mode.write && !mode.read)
        flags |= O_TRUNC;
    return flags;
}

// A name the platform can be handed: no embedded NUL.
bool IsUsableName(const CZelString& name)
{
    return name.Find('\0') < 0;
}

CZelString Quoted(const char* before, const CZelString& name, const char* after)
{
    return CZelString(before) + name + after;
}

CZelString CreateFileText(const CZelString& name, const CZelString& mode)
{
    return Quoted("CreateFile(\"", name, "\"), mode \"") + mode + "\"";
}

// Opens with EINTR retried; -1 with errno set on failure.
int OpenRetrying(const char* name, int flags, int permissions)
{
    int fd;
    do
        fd = ::open(name, flags, permissions);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes all bytes; returns 0 or the errno of the failure, with `done` the bytes written.
int WriteAll(int fd, const char* bytes, int64_t count, int64_t& done)
{
    done = 0;
    while (done < count) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30));
        const ssize_t n = ::write(fd, bytes + done, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO; // a short write is a failure even when the platform reports none
        done += n;
    }
    return 0;
}

// Removes trailing separators, keeping a lone root "/".
CZelString WithoutTrailingSeparators(const CZelString& path)
{
    int32_t length = path.Length();
    while (length > 1 && path[length - 1] == ZelPath::kSeparator)
        --length;
    return path.Left(length);
}

bool ThrowOrFalse(EErrorMode errorMode, const XTOOLastError& error)
{
    if (errorMode == EErrorMode::Throw)
        throw error;
    return false;
}

bool Report(const XTOOLastError& error, EErrorMode errorMode, XTOOError* out)
{
    if (out)
        *out = error;
    return ThrowOrFalse(errorMode, error);
}

std::atomic<uint32_t> g_temporaryCounter{0};

CZelString TemporaryNameBeside(const CZelString& target)
{
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".tmp%ld.%u", static_cast<long>(::getpid()),
                  g_temporaryCounter.fetch_add(1));
    return ZelPath::FolderWithSlash(target) + "." + ZelPath::FileName(target) + suffix;
}

// A symbolic link is saved through: its target is replaced, the link stays.
CZelString ResolveSaveTarget(const CZelString& path)
{
    struct stat st;
    if (::lstat(path.Ptr(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char* resolved = ::realpath(path.Ptr(), nullptr);
    if (!resolved)
        return path;
    CZelString target(resolved);
    std::free(resolved);
    return target;
}

void SyncFolderOf(const CZelString& path)
{
    CZelString folder = ZelPath::Folder(path);
    if (folder.IsEmpty())
        folder = path[0] == ZelPath::kSeparator ? CZelString("/") : CZelString(".");
    const int fd = OpenRetrying(folder.Ptr(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd >= 0) {
        ::fsync(fd); // best effort: some file systems cannot sync a folder
        ::close(fd);
    }
}

} // namespace

// ---- Handle ----

CZelFile::CZelFile() noexcept = default;

CZelFile::CZelFile(const CZelString& name, const CZelString& mode, EErrorMode errorMode, int newFilePermissions)
    : m_errorMode(errorMode)
{
    Open(name, mode, newFilePermissions);
}

CZelFile::CZelFile(const CZelFile& other) noexcept = default;
CZelFile& CZelFile::operator=(const CZelFile& other) noexcept = default;
CZelFile::CZelFile(CZelFile&& other) noexcept = default;
CZelFile& CZelFile::operator=(CZelFile&& other) noexcept = default;
CZelFile::~CZelFile() = default;

bool CZelFile::Fail(const XTOOError& error)
{
    static_cast<XTOOError&>(*this) = error;
    if (m_errorMode == EErrorMode::Throw)
        throw XTOOLastError::WithMessage(error.GetText(), error.Code());
    return false;
}

bool CZelFile::FailErrno(const char* text, int code)
{
    return Fail(XTOOLastError(text, code));
}

bool CZelFile::FailNotOpen()
{
    return Fail(XTOOLastError::WithMessage(kBadImplementation, 0));
}

bool CZelFile::CheckOpen()
{
    Clear();
    return IsOpen() || FailNotOpen();
}

bool CZelFile::Open(const CZelString& name, const CZelString& mode, int newFilePermissions)
{
    Close();
    Clear();
    m_name = ZelPath::Normalize(name);
    m_mode = mode;
    const ParsedMode parsed = ParseMode(mode);
    m_sharing = parsed.sharing;
    if (!parsed.valid || !IsUsableName(m_name))
        return Fail(XTOOLastError(CreateFileText(m_name, m_mode), EINVAL));

    if (parsed.makeFolders) {
        const CZelString folder = ZelPath::Folder(m_name);
        if (!folder.IsEmpty())
            MkDirs(folder); // a failure here shows as the open's own failure
    }
    const int fd = OpenRetrying(m_name.Ptr(), OpenFlags(parsed), newFilePermissions);
    if (fd < 0) {
        const int code = errno;
        return Fail(XTOOLastError(CreateFileText(m_name, m_mode), code));
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Fail(XTOOLastError(CreateFileText(m_name, m_mode), EISDIR));
    }
    m_imp = std::make_shared<Imp>();
    m_imp->fd = fd;
    return true;
}

CZelFile CZelFile::StandardStream(int which, EErrorMode errorMode)
{
    static constexpr const char* kNames[] = {"stdin", "stdout", "stderr"};
    CZelFile file;
    file.m_errorMode = errorMode;
    if (which < 0 || which > 2) {
        file.FailErrno("CZelFile::StandardStream()", EBADF);
        return file;
    }
    file.m_name = kNames[which];
    file.m_mode = which == 0 ? "R|SrSw" : "W|SrSw";
    file.m_imp = std::make_shared<Imp>();
    file.m_imp->fd = which;
    file.m_imp->standardStream = true;
    return file;
}

bool CZelFile::IsOpen() const noexcept
{
    return m_imp && m_imp->fd >= 0;
}

void CZelFile::Close() noexcept
{
    m_imp.reset();
}

// ---- Data ----

int64_t CZelFile::Read(void* buffer, int64_t count)
{
    if (!CheckOpen())
        return -1;
    if (count < 0 || (!buffer && count > 0)) {
        FailErrno("ReadFile()", EINVAL);
        return -1;
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(count, 1 << 30));
    ssize_t n;
    do
        n = ::read(m_imp->fd, buffer, want);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        FailErrno("ReadFile()", errno);
        return -1;
    }
    return n;
}

int64_t CZelFile::Write(const void* bytes, int64_t count)
{
    if (!CheckOpen())
        return -1;
    if (count < 0 || (!bytes && count > 0)) {
        FailErrno("WriteFile()", EINVAL);
        return -1;
    }
    int64_t done = 0;
    if (const int code = WriteAll(m_imp->fd, static_cast<const char*>(bytes), count, done))
        FailErrno("WriteFile()", code);
    return done;
}

int64_t CZelFile::Write(const CZelString& bytes)
{
    return Write(bytes.Ptr(), bytes.Length());
}

bool CZelFile::Seek(int64_t position, int origin)
{
    if (!CheckOpen())
        return false;
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2)
        return FailErrno("SetFilePointerEx()", EINVAL);
    if (::lseek(m_imp->fd, position, kWhence[origin]) < 0)
        return FailErrno("SetFilePointerEx()", errno);
    return true;
}

int64_t CZelFile::Tell()
{
    if (!CheckOpen())
        return -1;
    const off_t position = ::lseek(m_imp->fd, 0, SEEK_CUR);
    if (position < 0)
        FailErrno("SetFilePointerEx()", errno);
    return position;
}

int64_t CZelFile::Length()
{
    if (!CheckOpen())
        return -1;
    struct stat st;
    if (::fstat(m_imp->fd, &st) != 0) {
        FailErrno("CZelFile::Length()", errno);
        return -1;
    }
    return st.st_size;
}

bool CZelFile::Truncate()
{
    if (!CheckOpen())
        return false;
    const off_t position = ::lseek(m_imp->fd, 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(m_imp->fd, position) != 0)
        return FailErrno("SetEndOfFile()", errno);
    return true;
}

bool CZelFile::Flush()
{
    if (!CheckOpen())
        return false;
    if (::fsync(m_imp->fd) != 0)
        return FailErrno("Flush()", errno);
    return true;
}

int64_t CZelFile::ReadChunks(char* buffer, int64_t want)
{
    int64_t total = 0;
    while (total < want) {
        const int64_t chunk = std::min<int64_t>(kReadAllChunk, want - total);
        const int64_t n = Read(buffer + total, chunk);
        if (n < 0)
            return -1;
        total += n;
        if (n < chunk)
            break;
    }
    return total;
}

int64_t CZelFile::RemainingBytes()
{
    struct stat st;
    const off_t position = ::lseek(m_imp->fd, 0, SEEK_CUR);
    if (position < 0 || ::fstat(m_imp->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return std::max<int64_t>(st.st_size - position, 0);
}

CZelString CZelFile::ReadAll(int64_t limit)
{
    if (!CheckOpen())
        return CZelString();
    const bool capped = limit >= 0 && limit <= kMaxStringBytes;
    const int64_t cap = capped ? limit : kMaxStringBytes;

    // A regular file of known size is read straight into the string's own body.
    CZelString result;
    const int64_t remaining = RemainingBytes();
    const bool regular = remaining >= 0;
    if (remaining > 0) {
        const int64_t expected = std::min(cap, remaining);
        char* body = nullptr;
        result = CZelString::Uninitialized(static_cast<int32_t>(expected), &body);
        if (body) {
            const int64_t got = ReadChunks(body, expected);
            if (got < 0)
                return CZelString();
            if (got < expected)
                return result.Left(static_cast<int32_t>(got)); // the file shrank meanwhile
        } else {
            result = CZelString();
        }
    }
    // The rest (a file that grew, a pipe, or a size that could not be had) in chunks.
    std::string rest;
    while (result.Length() + static_cast<int64_t>(rest.size()) < cap) {
        const int64_t want =
            std::min<int64_t>(kReadAllChunk, cap - result.Length() - static_cast<int64_t>(rest.size()));
        const size_t old = rest.size();
        rest.resize(old + static_cast<size_t>(want));
        const int64_t n = Read(rest.data() + old, want);
        if (n < 0)
            return CZelString();
        rest.resize(old + static_cast<size_t>(n));
        // A pipe gives short reads before its end; only a regular file ends at a short read.
        if (n == 0 || (n < want && regular))
            break;
    }
    if (!capped && result.Length() + static_cast<int64_t>(rest.size()) >= cap) {
        // More than a string can hold: refuse rather than return a silent part.
        char probe;
        if (Read(&probe, 1) > 0) {
            FailErrno("ReadFile()", EFBIG);
            return CZelString();
        }
    }
    return rest.empty() ? result : result + CZelString(rest);
}

// ---- Whole-file helpers ----

bool CZelFile::SaveWholeFile(const CZelString& path, const CZelString& bytes, EErrorMode errorMode, XTOOError* error,
                             int newFilePermissions)
{
    return SaveWholeFile(path, std::string_view(bytes.Ptr(), static_cast<size_t>(bytes.Length())), errorMode, error,
                         newFilePermissions);
}

bool CZelFile::SaveWholeFile(const CZelString& path, std::string_view bytes, EErrorMode errorMode, XTOOError* error,
                             int newFilePermissions)
{
    if (error)
        error->Clear();
    const CZelString given = ZelPath::Normalize(path);
    if (given.IsEmpty() || !IsUsableName(given))
        return Report(XTOOLastError(CreateFileText(given, "WCD|SrSw"), EINVAL), errorMode, error);
    const CZelString target = ResolveSaveTarget(given);
    const CZelString folder = ZelPath::Folder(target);
    if (!folder.IsEmpty())
        MkDirs(folder);

    struct stat existing;
    const bool targetExists = ::stat(target.Ptr(), &existing) == 0;
    if (targetExists && S_ISDIR(existing.st_mode))
        return Report(XTOOLastError(CreateFileText(target, "WCD|SrSw"), EISDIR), errorMode, error);

    const CZelString temporary = TemporaryNameBeside(target);
    const int fd = OpenRetrying(temporary.Ptr(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newFilePermissions);
    if (fd < 0) {
        const int code = errno;
        return Report(XTOOLastError(CreateFileText(temporary, "WC|Sr"), code), errorMode, error);
    }
    auto failAndClean = [&](const char* text, int code, bool open) {
        if (open)
            ::close(fd);
        ::unlink(temporary.Ptr());
        return Report(XTOOLastError(text, code), errorMode, error);
    };
    if (targetExists) {
        if (::geteuid() == 0)
            (void)::fchown(fd, existing.st_uid, existing.st_gid);
        if (::fchmod(fd, existing.st_mode & 07777) != 0)
            return failAndClean("SaveWholeFile(): chmod", errno, true);
    }
    int64_t done = 0;
    if (const int code = WriteAll(fd, bytes.data(), static_cast<int64_t>(bytes.size()), done))
        return failAndClean("WriteFile()", code, true);
    if (::fsync(fd) != 0)
        return failAndClean("Flush()", errno, true);
    if (::close(fd) != 0)
        return failAndClean("Flush()", errno, false);
    if (::rename(temporary.Ptr(), target.Ptr()) != 0)
        return failAndClean("Rename", errno, false);
    SyncFolderOf(target);
    return true;
}

bool CZelFile::LoadWholeFile(const CZelString& path, CZelString& bytes, int64_t limit, EErrorMode errorMode,
                             XTOOError* error)
{
    if (error)
        error->Clear();
    CZelFile file(path, "R|SrSw");
    CZelString content = file.IsOpen() ? file.ReadAll(limit) : CZelString();
    if (file.IsSet())
        return Report(XTOOLastError::WithMessage(file.GetText(), file.Code()), errorMode, error);
    bytes = content;
    return true;
}

// ---- Name helpers ----

CZelString CZelFile::GetExeFileName(int form, EErrorMode errorMode)
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n < 0) {
        ThrowOrFalse(errorMode, XTOOLastError("CZelFile::GetExeFileName()", errno));
        return CZelString();
    }
    if (n >= static_cast<ssize_t>(sizeof buffer)) {
        ThrowOrFalse(errorMode, XTOOLastError("CZelFile::GetExeFileName() - too small buffer", ENAMETOOLONG));
        return CZelString();
    }
    const CZelString full(buffer, static_cast<int32_t>(n));
    if (form >= 1)
        return full;
    if (form == 0)
        return ZelPath::FileName(full);
    if (form == -1)
        return ZelPath::FileName(ZelPath::WithoutExtension(full));
    return ZelPath::FileName(ZelPath::WithoutAllExtensions(full));
}

CZelString CZelFile::GetExeDir(EErrorMode errorMode)
{
    return ZelPath::FolderWithSlash(GetExeFileName(1, errorMode));
}

CZelString CZelFile::getcwd(EErrorMode errorMode)
{
    char* directory = ::getcwd(nullptr, 0);
    if (!directory) {
        const int code = errno;
        ThrowOrFalse(errorMode, XTOOLastError(code == ENOMEM ? "CZelFile::getcwd() - new[] error"
                                                                 : "CZelFile::getcwd()", code));
        return CZelString();
    }
    CZelString result(directory);
    std::free(directory);
    return result;
}

bool CZelFile::chdir(const CZelString& path, EErrorMode errorMode)
{
    CZelString target = ZelPath::Normalize(path);
    if (target.Length() > 1 && target[target.Length() - 1] == ZelPath::kSeparator)
        target = target.Left(target.Length() - 1);
    if (!IsUsableName(target) || ::chdir(target.Ptr()) != 0) {
        const int code = IsUsableName(target) ? errno : EINVAL;
        return ThrowOrFalse(errorMode, XTOOLastError(Quoted("CZelFile::chdir(\"", path, "\")"), code));
    }
    return true;
}

bool CZelFile::FileExists(const CZelString& name)
{
    const CZelString normal = ZelPath::Normalize(name);
    if (!IsUsableName(normal))
        return false;
    // Non-blocking, so that a FIFO does not wait for a writer.
    const int fd = OpenRetrying(normal.Ptr(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct stat st;
    const bool isFile = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    ::close(fd);
    return isFile;
}

namespace {

bool StatName(const CZelString& name, struct stat& st)
{
    const CZelString normal = ZelPath::Normalize(name);
    if (!IsUsableName(normal)) {
        errno = EINVAL;
        return false;
    }
    return ::stat(normal.Ptr(), &st) == 0;
}

} // namespace

bool CZelFile::IsFile(const CZelString& name)
{
    struct stat st;
    return StatName(name, st) && !S_ISDIR(st.st_mode);
}

bool CZelFile::IsDirectory(const CZelString& name)
{
    struct stat st;
    return StatName(name, st) && S_ISDIR(st.st_mode);
}

int64_t CZelFile::FileLength(const CZelString& name, EErrorMode errorMode)
{
    struct stat st;
    if (!StatName(name, st)) {
        ThrowOrFalse(errorMode, XTOOLastError("CZelFile::Length", errno));
        return -1;
    }
    return st.st_size;
}

int64_t CZelFile::GetFileAttributes(const CZelString& name, EErrorMode errorMode)
{
    struct stat st;
    if (!StatName(name, st)) {
        ThrowOrFalse(errorMode, XTOOLastError(Quoted("CZelFile::GetFileAttributes(", name, ")"), errno));
        return -1;
    }
    return st.st_mode;
}

int64_t CZelFile::GetFileTime64(const CZelString& name, EErrorMode errorMode)
{
    struct stat st;
    if (!StatName(name, st)) {
        ThrowOrFalse(errorMode, XTOOLastError(Quoted("CZelFile::GetFileTime64(", name, ")"), errno));
        return -1;
    }
    return st.st_mtim.tv_sec;
}

bool CZelFile::DeleteFile(const CZelString& name, EErrorMode errorMode)
{
    const CZelString normal = ZelPath::Normalize(name);
    if (!IsUsableName(normal) || ::unlink(normal.Ptr()) != 0) {
        const int code = IsUsableName(normal) ? errno : EINVAL;
        return ThrowOrFalse(errorMode, XTOOLastError(Quoted("DeleteFile ", normal, " error:"), code));
    }
    return true;
}

bool CZelFile::CreateNewFile(const CZelString& name, bool* taken, int permissions)
{
    const CZelString normal = ZelPath::Normalize(name);
    if (taken)
        *taken = false;
    if (!IsUsableName(normal))
        return false;
    const int fd = OpenRetrying(normal.Ptr(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
    if (fd < 0) {
        if (taken)
            *taken = errno == EEXIST;
        return false;
    }
    ::close(fd);
    return true;
}

bool CZelFile::Rename(const CZelString& oldName, const CZelString& newName, EErrorMode errorMode)
{
    const CZelString from = ZelPath::Normalize(oldName);
    const CZelString to = ZelPath::Normalize(newName);
    if (!IsUsableName(from) || !IsUsableName(to))
        return ThrowOrFalse(errorMode, XTOOLastError("Rename", EINVAL));
    if (::renameat2(AT_FDCWD, from.Ptr(), AT_FDCWD, to.Ptr(), RENAME_NOREPLACE) == 0)
        return true;
    int code = errno;
    if (code == EINVAL || code == ENOSYS) {
        // A file system without no-replace renames: check, then rename.
        struct stat st;
        if (::lstat(to.Ptr(), &st) == 0)
            code = EEXIST;
        else if (::rename(from.Ptr(), to.Ptr()) == 0)
            return true;
        else
            code = errno;
    }
    return ThrowOrFalse(errorMode, XTOOLastError("Rename", code));
}

bool CZelFile::MkDir(const CZelString& name, bool okIfExists, EErrorMode errorMode, int permissions)
{
    const CZelString path = WithoutTrailingSeparators(ZelPath::Normalize(name));
    int code = EINVAL;
    if (!path.IsEmpty() && IsUsableName(path)) {
        if (::mkdir(path.Ptr(), static_cast<mode_t>(permissions)) == 0)
            return true;
        code = errno;
        if (code == EEXIST && okIfExists && IsDirectory(path))
            return true;
    }
    if (errorMode == EErrorMode::Throw)
        throw XTOOErrno("CZelFile::MkDir()", code);
    errno = code;
    return false;
}

bool CZelFile::MkDirs(const CZelString& name, int permissions)
{
    const CZelString path = WithoutTrailingSeparators(ZelPath::Normalize(name));
    if (MkDir(path, true, EErrorMode::ReturnCodes, permissions))
        return true;
    const int32_t slash = path.ReverseFind(ZelPath::kSeparator);
    if (slash <= 0)
        return false;
    return MkDirs(path.Left(slash), permissions) && MkDir(path, true, EErrorMode::ReturnCodes, permissions);
}
