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
    if (_stat64(path, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_mtime);
}

// Sets both the access and the modification time: true on success.
inline bool set_mtime(const char *path, int64_t seconds) {
    struct __utimbuf64 times;
    times.actime = static_cast<__time64_t>(seconds);
    times.modtime = static_cast<__time64_t>(seconds);
    return _utime64(path, &times) == 0;
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
