// What the blob endpoints need of the system beyond plain stdio: seeking in files larger than
// 2 GiB, telling an absolute path from a relative one, and outliving the web server's request
// to stop, so that a program already storing a request body finishes or undoes it itself.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

#ifdef __linux__
#include <fcntl.h>
#endif

namespace bv_platform {

// Moves `file` to byte `offset` from its start: 0, or -1 when the offset cannot be reached.
inline int seek_to(std::FILE *file, int64_t offset) {
    if (!file || offset < 0) return -1;
#ifdef _WIN32
    return _fseeki64(file, offset, SEEK_SET) == 0 ? 0 : -1;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
#endif
}

// 1 when `path` names its file without reference to a working directory, else 0 (null: 0).
inline int is_absolute_path(const char *path) {
    if (!path || !*path) return 0;
#ifdef _WIN32
    const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    const bool unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
    return drive || unc ? 1 : 0;
#else
    return path[0] == '/' ? 1 : 0;
#endif
}

// Asks for a pipe buffer of `bytes` on standard output when it is a pipe, so a large body
// moves to the web server in fewer, larger writes. Best effort: where pipes cannot be resized
// (or standard output is no pipe) nothing changes.
inline void widen_output_pipe(int bytes) {
#if defined(__linux__) && defined(F_SETPIPE_SZ)
    fcntl(1, F_SETPIPE_SZ, bytes);
#else
    (void)bytes;
#endif
}

// A web server ends the program of a request whose client went away with SIGTERM while the
// program may be halfway through an append. Ignoring it lets the program see its input end
// and put the upload back as it was; the server closes that input, so the program still ends.
// Windows servers end programs without a signal; there is nothing to do there.
inline void outlive_stop_request() {
#ifndef _WIN32
    std::signal(SIGTERM, SIG_IGN);
#endif
}

}  // namespace bv_platform
