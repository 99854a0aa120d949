#pragma once
// The memory-access log: one line per unreadable pointer the formatter was handed, appended to
// "logs/memory_access.txt" under the working directory (the folder is made when missing).

#include <cstdint>

inline constexpr char kMemoryAccessLogFolder[] = "logs";
inline constexpr char kMemoryAccessLogFile[] = "logs/memory_access.txt";
inline constexpr char kBadStringPtrCheck[] = "__is_bad_string_ptr()";
inline constexpr char kBadReadPtrCheck[] = "__is_bad_read_ptr()";

// Appends "dd.mm.yyyy hh:mm:ss: <check>: memory access error at ptr=<p>, len=<n>,
// SrcFile=<file>, SrcLine=<line>" (local time). A null source file reads "unknown"; pass
// length -1 for a string. The line goes out in one append, so lines of different threads do not
// mix. `baseFolder` (default: the working directory) is where "logs" lives. Returns false when
// the line could not be written; never throws.
bool WriteMemoryAccessLog(const char* checkName, const void* pointer, int32_t length,
                          const char* sourceFile, int sourceLine, const char* baseFolder = nullptr);
