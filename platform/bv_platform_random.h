// The operating system's random source: getrandom() (or /dev/urandom where the call is missing)
// on Linux and the other POSIX systems, BCryptGenRandom with the system's preferred generator
// on Windows (bcrypt.dll, linked by the platform target).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#ifdef _WIN32
// Declared here rather than through <bcrypt.h>, which needs <windows.h>; the declaration
// matches the system's own.
extern "C" __declspec(dllimport) long __stdcall BCryptGenRandom(void *, unsigned char *,
                                                                unsigned long, unsigned long);
#else
#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif
#endif

namespace bv_platform {

#ifdef _WIN32

// Fills `buf` with `len` random bytes: true, or false when the source fails.
inline bool random_bytes(void *buf, size_t len) {
    unsigned char *p = static_cast<unsigned char *>(buf);
    while (len > 0) {
        const unsigned long part = len > 0x10000000u ? 0x10000000ul : static_cast<unsigned long>(len);
        if (BCryptGenRandom(nullptr, p, part, 0x2ul /* BCRYPT_USE_SYSTEM_PREFERRED_RNG */) != 0)
            return false;
        p += part;
        len -= part;
    }
    return true;
}

#else

namespace detail {

inline bool urandom_bytes(unsigned char *p, size_t len) {
    int fd;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    while (len > 0) {
        const ssize_t n = ::read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        len -= static_cast<size_t>(n);
    }
    ::close(fd);
    return len == 0;
}

}  // namespace detail

inline bool random_bytes(void *buf, size_t len) {
    unsigned char *p = static_cast<unsigned char *>(buf);
#if defined(__linux__)
    while (len > 0) {
        const ssize_t n = ::getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == ENOSYS) return detail::urandom_bytes(p, len);  // an old kernel
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
#else
    return detail::urandom_bytes(p, len);
#endif
}

#endif

}  // namespace bv_platform
