// Bounded waits on the standard streams of a CGI program: a read of standard input and a wait
// for standard output to take bytes, each giving up after a time, so that a client that sends
// or takes nothing cannot hold the program. Windows pipes cannot be waited on this way: there
// the calls wait as long as the stream does.
#pragma once

#include <cstddef>
#include <cstdio>

#ifndef _WIN32
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

}  // namespace bv_platform
