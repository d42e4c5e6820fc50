// File times and the clock as the garbage collector sees them: a path's modification time in
// whole seconds since the epoch, setting it (tests age files with it), the current time, and
// whether standard error is a terminal (progress lines are for people, not for logs).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utime.h>

#include "platform/bv_platform_path.h"
// Our own declarations, as in bv_platform_file.h: never <windows.h> with its macros.
struct bv_win_filetime {
    unsigned long low;
    unsigned long high;
};
extern "C" __declspec(dllimport) void *__stdcall CreateFileW(const wchar_t *, unsigned long,
                                                             unsigned long, void *,
                                                             unsigned long, unsigned long,
                                                             void *);
extern "C" __declspec(dllimport) int __stdcall SetFileTime(void *, const bv_win_filetime *,
                                                           const bv_win_filetime *,
                                                           const bv_win_filetime *);
extern "C" __declspec(dllimport) int __stdcall CloseHandle(void *);
#else
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utime.h>
#endif

namespace bv_platform {

// Seconds since the epoch, as file times count them.
inline int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

#ifdef _WIN32

// The modification time of a file or directory, or -1 when its attributes cannot be read.
inline int64_t mtime_of(const char *path) {
    struct _stat64 st;
    if (_wstat64(sys_path(path).c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_mtime);
}

// Sets both the access and the modification time: true on success. The C runtime's _utime
// opens without backup semantics and so refuses directories; those go through the handle.
inline bool set_mtime(const char *path, int64_t seconds) {
    struct __utimbuf64 times;
    times.actime = static_cast<__time64_t>(seconds);
    times.modtime = static_cast<__time64_t>(seconds);
    const sys_path wide(path);
    if (_wutime64(wide.c_str(), &times) == 0) return true;
    void *h = CreateFileW(wide.c_str(), 0x100ul /* FILE_WRITE_ATTRIBUTES */, 7ul /* share all */,
                          nullptr, 3ul /* OPEN_EXISTING */,
                          0x02000000ul /* FILE_FLAG_BACKUP_SEMANTICS */, nullptr);
    if (h == reinterpret_cast<void *>(static_cast<intptr_t>(-1))) return false;
    // 100 ns ticks since 1601-01-01.
    const uint64_t ticks = (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
    const bv_win_filetime t = {static_cast<unsigned long>(ticks & 0xFFFFFFFFull),
                               static_cast<unsigned long>(ticks >> 32)};
    const bool ok = SetFileTime(h, nullptr, &t, &t) != 0;
    CloseHandle(h);
    return ok;
}

inline bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

#else

inline int64_t mtime_of(const char *path) {
    struct stat st;
    if (::stat(path, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_mtime);
}

inline bool set_mtime(const char *path, int64_t seconds) {
    struct utimbuf times;
    times.actime = static_cast<time_t>(seconds);
    times.modtime = static_cast<time_t>(seconds);
    return ::utime(path, &times) == 0;
}

inline bool stderr_is_terminal() { return ::isatty(::fileno(stderr)) != 0; }

#endif

}  // namespace bv_platform
