// Bounded waits on the standard streams of a CGI program: a read of standard input and a wait
// for standard output to take bytes, each giving up after a time, so that a client that sends
// or takes nothing cannot hold the program; and writes to standard output that never wait.
// Windows pipes cannot be waited on this way: there the calls wait as long as the stream does.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace bv_platform {

#ifndef _WIN32
// Waits up to `ms` milliseconds (negative: no bound) for `events` on descriptor `fd`: true when
// they came (or the descriptor ended or failed, which the next call reports), false on time.
inline bool wait_for(int fd, short events, long ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = poll(&p, 1, ms < 0 ? -1 : static_cast<int>(ms));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // let the read or write itself report the failure
    }
}
#endif

// Up to `cap` bytes of standard input, what has arrived, waiting at most `ms` milliseconds for
// the first (negative: no bound): the count; 0 at its end, on failure or when nothing came in
// time. Reads the descriptor itself, so nothing else may read standard input through stdio.
inline std::size_t read_input_within(void *buf, std::size_t cap, long ms) {
#ifdef _WIN32
    (void)ms;
    return std::fread(buf, 1, cap, stdin);
#else
    if (!wait_for(0, POLLIN, ms)) return 0;
    for (;;) {
        const ssize_t n = ::read(0, buf, cap);
        if (n >= 0) return static_cast<std::size_t>(n);
        // Standard input may share its descriptor with an output made non-blocking: a read the
        // wait let through that finds nothing after all waits again.
        if (errno == EAGAIN && wait_for(0, POLLIN, ms)) continue;
        if (errno != EINTR) return 0;
    }
#endif
}

// Waits at most `ms` milliseconds (negative: no bound) until standard output can take bytes:
// false when it could not in time.
inline bool output_ready_within(long ms) {
#ifdef _WIN32
    (void)ms;
    return true;
#else
    return wait_for(1, POLLOUT, ms);
#endif
}

#ifndef _WIN32
// Standard output's flags before output_without_waits changed them, put back at exit so that
// a stream shared with other programs (a shell's pipe) is left as it was found.
inline int s_output_flags = -1;

inline void restore_output_flags() {
    if (s_output_flags >= 0) fcntl(1, F_SETFL, s_output_flags);
}
#endif

// Makes writes to standard output take what it can take at once and return (a pipe or socket
// whose reader has stopped; files take everything anyway): afterwards write_output_now never
// waits, and output_ready_within is how to wait. Once per process; the old flags come back at
// exit. Nothing to do on Windows.
inline void output_without_waits() {
#ifndef _WIN32
    if (s_output_flags >= 0) return;
    const int flags = fcntl(1, F_GETFL);
    if (flags < 0 || (flags & O_NONBLOCK)) return;
    if (fcntl(1, F_SETFL, flags | O_NONBLOCK) != 0) return;
    s_output_flags = flags;
    std::atexit(restore_output_flags);
#endif
}

// Writes up to `len` bytes to standard output past stdio: the count taken, 0 when the output
// can take nothing now (only after output_without_waits), -1 when it failed.
inline long long write_output_now(const void *data, std::size_t len) {
#ifdef _WIN32
    if (std::fwrite(data, 1, len, stdout) != len || std::fflush(stdout) != 0) return -1;
    return static_cast<long long>(len);
#else
    for (;;) {
        const ssize_t n = ::write(1, data, len);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) return -1;
    }
#endif
}

}  // namespace bv_platform
