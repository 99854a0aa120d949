#pragma once
// CZelFile: the one way the system touches files. A handle on a shared open file (copies share
// it; the file closes with the last handle) that also records its own last failure, being an
// error holder itself. Names are UTF-8; '\' is accepted and means '/'.
//
// Open modes: access letters, '|', sharing letters.
//   R read, W write (RW both), C create when missing (W without R also truncates),
//   D create the missing folders of the path first.
//   Sr, Sw (others may read / write meanwhile) are accepted and recorded, not enforced.
// Modes in use: "R|SrSw", "R|Sr", "WCD|SrSw", "WCD|Sr", "RWCD|Sr", "WC|Sr".
//
// EErrorMode::ReturnCodes reports failures by return value and the recorded error;
// EErrorMode::Throw also throws them (as XTOOLastError). New files are private (0600) and new
// folders 0700 unless asked otherwise.

#include "foundation/CZelFormat.h"
#include "foundation/CZelString.h"
#include "foundation/XTOOError.h"

#include <cstdint>
#include <string_view>
#include <memory>

class CZelFile : public XTOOError {
public:
    static constexpr int kPrivateFilePermissions = 0600;
    static constexpr int kPrivateFolderPermissions = 0700;
    static constexpr int32_t kReadAllChunk = 102400;

    CZelFile() noexcept;
    CZelFile(const CZelString& name, const CZelString& mode, EErrorMode errorMode = EErrorMode::ReturnCodes,
             int newFilePermissions = kPrivateFilePermissions);
    CZelFile(const CZelFile& other) noexcept;
    CZelFile& operator=(const CZelFile& other) noexcept;
    CZelFile(CZelFile&& other) noexcept;
    CZelFile& operator=(CZelFile&& other) noexcept;
    ~CZelFile();

    // A handle on standard input (0), output (1) or error (2); closing it leaves the stream open.
    static CZelFile StandardStream(int which, EErrorMode errorMode = EErrorMode::ReturnCodes);

    // Opening (closes this handle's previous file first)
    bool Open(const CZelString& name, const CZelString& mode,
              int newFilePermissions = kPrivateFilePermissions);
    bool IsOpen() const noexcept;
    void Close() noexcept;
    EErrorMode ErrorMode() const noexcept { return m_errorMode; }
    void SetErrorMode(EErrorMode errorMode) noexcept { m_errorMode = errorMode; }
    const CZelString& Name() const noexcept { return m_name; }
    const CZelString& Mode() const noexcept { return m_mode; }
    // The sharing letters of the mode ("SrSw"), kept for reference only.
    const CZelString& Sharing() const noexcept { return m_sharing; }

    // Data. Each operation first clears the recorded error.
    int64_t Read(void* buffer, int64_t count);          // bytes read, 0 at the end, -1 on failure
    int64_t Write(const void* bytes, int64_t count);    // bytes written; short of count = failure
    int64_t Write(const CZelString& bytes);
    // Formats with Format() and writes the result.
    template<class... A>
    int64_t Print(const char* format, const A&... args) { return Write(Format(format, args...)); }
    bool Seek(int64_t position, int origin = 0);        // origin 0 start, 1 current, 2 end
    int64_t Tell();                                     // -1 on failure
    int64_t Length();                                   // size, position kept; -1 on failure
    bool Truncate();                                    // cut at the current position
    bool Flush();                                       // through to the disk
    // Content from the current position, read in chunks of 102,400 bytes until the end (a
    // short read of a regular file, the end of a pipe) or `limit` bytes (negative: no limit).
    // Empty with the error recorded on failure.
    CZelString ReadAll(int64_t limit = -1);

    // ---- Whole-file helpers ----

    // Replaces `path` atomically: writes a temporary file beside it, flushes it to the disk,
    // renames it over the target and flushes the folder, so a crash leaves either the old or
    // the new content. Missing folders are created (0700). An existing target keeps its
    // permission bits; a new one gets `newFilePermissions`. On failure the target is untouched,
    // the temporary file is removed, the error goes to `error` (when given) and, in throw
    // mode, is thrown.
    static bool SaveWholeFile(const CZelString& path, const CZelString& bytes,
                              EErrorMode errorMode = EErrorMode::ReturnCodes, XTOOError* error = nullptr,
                              int newFilePermissions = kPrivateFilePermissions);
    // The same for bytes held elsewhere (a big message is not copied into a string first).
    static bool SaveWholeFile(const CZelString& path, std::string_view bytes,
                              EErrorMode errorMode = EErrorMode::ReturnCodes, XTOOError* error = nullptr,
                              int newFilePermissions = kPrivateFilePermissions);
    // Reads the whole file (at most `limit` bytes when limit >= 0).
    static bool LoadWholeFile(const CZelString& path, CZelString& bytes, int64_t limit = -1,
                              EErrorMode errorMode = EErrorMode::ReturnCodes, XTOOError* error = nullptr);

    // ---- Name helpers ----

    // form 1 full path, 0 file name, -1 file name without the part from the last '.',
    // below -1 without the part from the first '.'.
    static CZelString GetExeFileName(int form = 1, EErrorMode errorMode = EErrorMode::ReturnCodes);
    static CZelString GetExeDir(EErrorMode errorMode = EErrorMode::ReturnCodes);    // with a trailing '/'
    static CZelString getcwd(EErrorMode errorMode = EErrorMode::ReturnCodes);
    static bool chdir(const CZelString& path, EErrorMode errorMode = EErrorMode::ReturnCodes);
    static bool FileExists(const CZelString& name);             // opens with "R|SrSw"
    static bool IsFile(const CZelString& name);
    static bool IsDirectory(const CZelString& name);
    static int64_t FileLength(const CZelString& name, EErrorMode errorMode = EErrorMode::ReturnCodes);
    static int64_t GetFileAttributes(const CZelString& name,                     // st_mode
                                     EErrorMode errorMode = EErrorMode::ReturnCodes);
    static int64_t GetFileTime64(const CZelString& name,                         // seconds
                                 EErrorMode errorMode = EErrorMode::ReturnCodes);
    static bool DeleteFile(const CZelString& name, EErrorMode errorMode = EErrorMode::ReturnCodes);
    // Creates an empty file under a name nothing has yet, in one step, so that of callers
    // racing for a name (in any process) exactly one gets it. False when the name is taken
    // (`*taken` set) or the file cannot be made.
    static bool CreateNewFile(const CZelString& name, bool* taken = nullptr,
                              int permissions = kPrivateFilePermissions);
    static bool Rename(const CZelString& oldName, const CZelString& newName,   // fails when newName exists
                       EErrorMode errorMode = EErrorMode::ReturnCodes);
    static bool MkDir(const CZelString& name, bool okIfExists = true,
                      EErrorMode errorMode = EErrorMode::ReturnCodes,
                      int permissions = kPrivateFolderPermissions);
    static bool MkDirs(const CZelString& name, int permissions = kPrivateFolderPermissions);

    // ---- The error mode as the older 0/1 flag (1 = throw), for callers not moved yet ----
    CZelFile(const CZelString& name, const CZelString& mode, int throwFlag,
             int newFilePermissions = kPrivateFilePermissions)
        : CZelFile(name, mode, ErrorModeFromFlag(throwFlag), newFilePermissions) {}
    static bool SaveWholeFile(const CZelString& path, const CZelString& bytes, int throwFlag,
                              XTOOError* error = nullptr, int newFilePermissions = kPrivateFilePermissions)
    {
        return SaveWholeFile(path, bytes, ErrorModeFromFlag(throwFlag), error, newFilePermissions);
    }

private:
    struct Imp;

    bool Fail(const XTOOError& error);
    bool FailNotOpen();
    bool FailErrno(const char* text, int code);
    bool CheckOpen();
    int64_t ReadChunks(char* buffer, int64_t want);
    int64_t RemainingBytes();

    std::shared_ptr<Imp> m_imp;
    EErrorMode m_errorMode = EErrorMode::ReturnCodes;
    CZelString m_name;
    CZelString m_mode;
    CZelString m_sharing;
};
