// What the blob endpoints need of the system beyond plain stdio: seeking in files larger than
// 2 GiB, telling an absolute path from a relative one, moving file bytes to standard output
// inside the kernel, and outliving the web server's request to stop, so that a program already
// storing a request body finishes or undoes it itself.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef __linux__
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Tells the system `file` will be read once from start to end, so it reads further ahead.
// Best effort: nothing changes where the system takes no such advice.
inline void advise_sequential(std::FILE *file) {
#ifdef __linux__
    if (file) posix_fadvise(fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)file;
#endif
}

// How the kernel can move file bytes to standard output without a copy through the program:
// into a pipe (splice), into anything else (sendfile), or not at all (other systems).
enum class kernel_copy { into_pipe, into_other, none };

inline kernel_copy kernel_copy_to_output() {
#ifdef __linux__
    struct stat st {};
    if (fstat(1, &st) != 0) return kernel_copy::none;
    return S_ISFIFO(st.st_mode) ? kernel_copy::into_pipe : kernel_copy::into_other;
#else
    return kernel_copy::none;
#endif
}

// Moves up to `len` bytes of `file` from byte *offset on to standard output through `way`,
// advancing *offset; the file's stdio position and buffer stay as they were. The count moved
// (0: the file ends at *offset), -1 on a failure, -2 when this file and this output cannot be
// paired this way at all (nothing moved: the caller copies the bytes itself), -3 when the
// output can take nothing now (a pipe always, else an output made non-blocking: the caller
// waits for it and calls again).
inline long long copy_file_to_output(kernel_copy way, std::FILE *file, int64_t *offset, std::size_t len) {
#ifdef __linux__
    ssize_t n = -1;
    for (;;) {
        if (way == kernel_copy::into_pipe) {
            loff_t from = *offset;
            n = splice(fileno(file), &from, 1, nullptr, len, SPLICE_F_MORE | SPLICE_F_NONBLOCK);
        } else if (way == kernel_copy::into_other) {
            off_t from = static_cast<off_t>(*offset);
            n = sendfile(1, fileno(file), &from, len);
        } else {
            return -2;
        }
        if (n >= 0 || errno != EINTR) break;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -3;
    if (n < 0) return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ? -2 : -1;
    *offset += n;
    return n;
#else
    (void)way;
    (void)file;
    (void)offset;
    (void)len;
    return -2;
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
