// An open file under an exclusive whole-file lock, for the appends and finishes of uploads
// that several processes may run on one file at once: open without creating, lock, ask whether
// the path still names the open file, size, cut back, write at the end, read, seek, flush,
// start the write-back of a range; the flushes of a stream's data and of a directory's
// entries to the disk; which errno says the disk is full.
// Windows: never include this together with <windows.h>; the declarations below are our own.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/bv_platform_path.h"
// The layout of the system's OVERLAPPED, under a name of our own.
struct bv_win_overlapped {
    uintptr_t internal;
    uintptr_t internal_high;
    unsigned long offset;
    unsigned long offset_high;
    void *event;
};
extern "C" __declspec(dllimport) int __stdcall LockFileEx(void *, unsigned long, unsigned long,
                                                          unsigned long, unsigned long,
                                                          bv_win_overlapped *);
extern "C" __declspec(dllimport) int __stdcall UnlockFileEx(void *, unsigned long,
                                                            unsigned long, unsigned long,
                                                            bv_win_overlapped *);
extern "C" __declspec(dllimport) void *__stdcall CreateFileW(const wchar_t *, unsigned long,
                                                             unsigned long, void *,
                                                             unsigned long, unsigned long,
                                                             void *);
extern "C" __declspec(dllimport) int __stdcall FlushFileBuffers(void *);
extern "C" __declspec(dllimport) int __stdcall CloseHandle(void *);
extern "C" __declspec(dllimport) unsigned long __stdcall GetLastError(void);
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace bv_platform {

// Whether a failed write step's errno means the disk, or the writer's quota, is full. The
// Windows runtime turns ERROR_DISK_FULL and ERROR_HANDLE_DISK_FULL into ENOSPC; quotas exist
// as an errno of their own only elsewhere.
inline bool out_of_space(int err) {
#ifdef EDQUOT
    if (err == EDQUOT) return true;
#endif
    return err == ENOSPC;
}

class locked_file {
public:
    locked_file() = default;
    locked_file(const locked_file &) = delete;
    locked_file &operator=(const locked_file &) = delete;
    ~locked_file() { close(); }

    // Opens an existing file in binary mode, for reading or for appending (writes always go
    // to its end); never creates one. False when the file cannot be opened.
    bool open(const char *path, bool append);
    // Waits until this process holds the only lock on the whole file. The lock binds every
    // process that takes it through this class; it goes with close().
    bool lock();
    // Whether `path` still names the open file: a rename may have moved it away meanwhile.
    bool still_named_by(const char *path) const;
    int64_t size() const;            // -1 when it cannot be read
    bool truncate(int64_t size);     // cut back to `size` bytes
    // Every byte at the end of the file; false with errno set (ENOSPC for a disk that took
    // none of them) when a write fails part-way.
    bool write_all(const void *data, size_t len);
    long read_some(void *buf, size_t cap);  // bytes read, 0 at the end, -1 on an error
    // Where the next read_some starts (writes still go to the end): false on a failure.
    bool seek(int64_t offset);
    // Waits until the file's bytes are on the disk. A file opened for reading only may be
    // refused this (Windows), so open it for appending when it must be flushed.
    bool flush();
    // Asks the system to start writing the bytes [offset, offset + len) to the disk, and
    // returns without waiting for them: a hint that leaves less for flush() to wait for,
    // never a flush itself. Nothing waits for the range here, so a write error of it stays
    // for flush() to report, even to another process that opens the file later. False with
    // errno set where the system or the file system offers no such call (ENOSYS, EINVAL,
    // EOPNOTSUPP) or it fails; nothing else changes then.
    bool start_writeback(int64_t offset, int64_t len);
    void close();

private:
    int fd_ = -1;
    bool locked_ = false;
};

#ifdef _WIN32

inline bool locked_file::open(const char *path, bool append) {
    close();
    const int flags = append ? (_O_RDWR | _O_APPEND | _O_BINARY) : (_O_RDONLY | _O_BINARY);
    fd_ = _wopen(sys_path(path).c_str(), flags);
    return fd_ >= 0;
}

inline bool locked_file::lock() {
    if (fd_ < 0) return false;
    const intptr_t h = _get_osfhandle(fd_);
    if (h == -1) return false;
    bv_win_overlapped ov{};
    // Every byte that the file may ever hold, so appends past today's end are covered too.
    locked_ = LockFileEx(reinterpret_cast<void *>(h), 0x2ul /* LOCKFILE_EXCLUSIVE_LOCK */, 0,
                         0xFFFFFFFFul, 0xFFFFFFFFul, &ov) != 0;
    return locked_;
}

// The runtime opens files without delete sharing, so no rename or removal of the path can
// succeed while this file is open: the path names it for as long as it stays open.
inline bool locked_file::still_named_by(const char *) const { return fd_ >= 0; }

inline int64_t locked_file::size() const {
    if (fd_ < 0) return -1;
    struct _stat64 st;
    return _fstat64(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

inline bool locked_file::truncate(int64_t size) {
    return fd_ >= 0 && _chsize_s(fd_, size) == 0;
}

inline bool locked_file::write_all(const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        const unsigned int part = len > 0x40000000u ? 0x40000000u : static_cast<unsigned>(len);
        const int n = _write(fd_, p, part);
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;  // nothing written and no error: no room left
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

inline long locked_file::read_some(void *buf, size_t cap) {
    const unsigned int part = cap > 0x40000000u ? 0x40000000u : static_cast<unsigned>(cap);
    return _read(fd_, buf, part);
}

inline bool locked_file::seek(int64_t offset) {
    return fd_ >= 0 && _lseeki64(fd_, offset, SEEK_SET) == offset;
}

inline bool locked_file::flush() { return fd_ >= 0 && _commit(fd_) == 0; }

// No range write-back here: FlushFileBuffers (behind _commit) at the finish is the only flush,
// and the one way to start a range early, a mapped view of the file, would change how uploads
// are opened and shared for a gain not worth that risk.
inline bool locked_file::start_writeback(int64_t, int64_t) {
    errno = ENOSYS;
    return false;
}

// Locks go when the handle closes, but only "eventually"; unlocking first frees the file at
// once for the next process.
inline void locked_file::close() {
    if (fd_ < 0) return;
    if (locked_) {
        bv_win_overlapped ov{};
        UnlockFileEx(reinterpret_cast<void *>(_get_osfhandle(fd_)), 0, 0xFFFFFFFFul,
                     0xFFFFFFFFul, &ov);
    }
    _close(fd_);
    fd_ = -1;
    locked_ = false;
}

#else

inline bool locked_file::open(const char *path, bool append) {
    close();
    const int flags = append ? (O_RDWR | O_APPEND) : O_RDONLY;
    do {
        fd_ = ::open(path, flags | O_CLOEXEC | O_NOCTTY);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

inline bool locked_file::lock() {
    if (fd_ < 0) return false;
    int rc;
    do {
        rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
    return locked_;
}

// A rename moves the file, not the open descriptor: the path names the open file only while
// both lead to the same inode.
inline bool locked_file::still_named_by(const char *path) const {
    struct stat open_st, path_st;
    if (fd_ < 0 || ::fstat(fd_, &open_st) != 0 || ::stat(path, &path_st) != 0) return false;
    return open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

inline int64_t locked_file::size() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

inline bool locked_file::truncate(int64_t size) {
    if (fd_ < 0) return false;
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

inline bool locked_file::write_all(const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        const ssize_t n = ::write(fd_, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;  // nothing written and no error: no room left
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

inline long locked_file::read_some(void *buf, size_t cap) {
    for (;;) {
        const ssize_t n = ::read(fd_, buf, cap);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

inline bool locked_file::seek(int64_t offset) {
    return fd_ >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) ==
                           static_cast<off_t>(offset);
}

// The data and what is needed to read it back (the size) suffice: Linux offers that
// narrower flush, which skips times nobody relies on.
inline bool locked_file::flush() {
    if (fd_ < 0) return false;
    int rc;
    do {
#ifdef __linux__
        rc = ::fdatasync(fd_);
#else
        rc = ::fsync(fd_);
#endif
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Linux alone starts the write-back of a range without flushing the whole file. Only the
// starting flag: the waiting ones would take a write error of the file away from the flush
// that must report it.
inline bool locked_file::start_writeback(int64_t offset, int64_t len) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
#ifdef __linux__
    int rc;
    do {
        rc = ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(len),
                               SYNC_FILE_RANGE_WRITE);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
#else
    (void)offset;
    (void)len;
    errno = ENOSYS;
    return false;
#endif
}

// Closing the only descriptor of the open file releases its lock.
inline void locked_file::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    locked_ = false;
}

#endif

// An exclusive lock on a file that stands for something else (a repository) and is never
// written: created when missing, held until release() or destruction, and dropped by the
// system when the process ends, however it ends. POSIX record locks, which network file
// systems such as GlusterFS hold for all their clients; LockFileEx on Windows.
// Within one process a file is locked through one object at a time: record locks belong to the
// process, so a second lock of the same file would not wait, and closing it would drop both.
class lock_file {
public:
    lock_file() = default;
    lock_file(const lock_file &) = delete;
    lock_file &operator=(const lock_file &) = delete;
    ~lock_file() { release(); }

    // Waits until this process holds the lock: false when the file cannot be created, opened
    // or locked. A lock file removed while it was awaited is taken again under its name.
    bool acquire(const char *path);
    void release();

private:
    bool lock_open_file();
    int fd_ = -1;
};

#ifdef _WIN32

inline bool lock_file::lock_open_file() {
    const intptr_t h = _get_osfhandle(fd_);
    if (h == -1) return false;
    bv_win_overlapped ov{};
    return LockFileEx(reinterpret_cast<void *>(h), 0x2ul /* LOCKFILE_EXCLUSIVE_LOCK */, 0, 1, 0,
                      &ov) != 0;
}

inline void lock_file::release() {
    if (fd_ < 0) return;
    bv_win_overlapped ov{};
    UnlockFileEx(reinterpret_cast<void *>(_get_osfhandle(fd_)), 0, 1, 0, &ov);
    _close(fd_);
    fd_ = -1;
}

// The runtime opens files without delete sharing, so the name cannot go while it is open.
inline bool lock_file::acquire(const char *path) {
    release();
    fd_ = _wopen(sys_path(path).c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd_ < 0) return false;
    if (lock_open_file()) return true;
    _close(fd_);
    fd_ = -1;
    return false;
}

#else

inline bool lock_file::lock_open_file() {
    struct flock region {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;  // l_start 0 and l_len 0: the whole file, however long
    int rc;
    do {
        rc = ::fcntl(fd_, F_SETLKW, &region);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

inline void lock_file::release() {
    if (fd_ < 0) return;
    ::close(fd_);  // drops the lock
    fd_ = -1;
}

inline bool lock_file::acquire(const char *path) {
    release();
    for (int attempt = 0; attempt < 8; ++attempt) {
        do {
            fd_ = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return false;
        if (!lock_open_file()) break;
        // Nothing removes lock files today; should something ever, a lock on the removed file
        // would exclude no one who opens the name afresh.
        struct stat open_st, path_st;
        if (::fstat(fd_, &open_st) == 0 && ::stat(path, &path_st) == 0 &&
            open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino)
            return true;
        release();
    }
    release();
    return false;
}

#endif

// Writes out the stream's buffer and waits until its bytes are on the disk: 0 or -1. The
// stream stays open, and must be one opened for writing.
inline int flush_stream(std::FILE *f);
// Waits until the directory's entries (files created, renamed into or removed from it) are
// on the disk: 0 or -1. A file system that cannot flush a directory at all counts as done.
inline int flush_dir(const char *path);

#ifdef _WIN32

inline int flush_stream(std::FILE *f) {
    if (!f || std::fflush(f) != 0) return -1;
    return _commit(_fileno(f)) == 0 ? 0 : -1;
}

// The runtime has no way to flush a directory, but the system does through a handle opened
// with backup semantics and write access. NTFS keeps metadata in its journal, which such a
// flush commits, so a rename or removal confirmed here survives a power cut. File systems
// without a directory flush (FAT) answer "invalid function"; then the file's own flush is all
// that can be done.
inline int flush_dir(const char *path) {
    void *h = CreateFileW(sys_path(path).c_str(),
                          0xC0000000ul /* GENERIC_READ | GENERIC_WRITE */,
                          0x7ul /* FILE_SHARE_READ | WRITE | DELETE */, nullptr,
                          3ul /* OPEN_EXISTING */, 0x02000000ul /* FILE_FLAG_BACKUP_SEMANTICS */,
                          nullptr);
    if (h == reinterpret_cast<void *>(static_cast<intptr_t>(-1))) return -1;
    const bool ok = FlushFileBuffers(h) != 0 || GetLastError() == 1ul /* INVALID_FUNCTION */;
    CloseHandle(h);
    return ok ? 0 : -1;
}

#else

inline int flush_stream(std::FILE *f) {
    if (!f || std::fflush(f) != 0) return -1;
    const int fd = ::fileno(f);
    int rc;
    do {
#ifdef __linux__
        rc = ::fdatasync(fd);
#else
        rc = ::fsync(fd);
#endif
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

// A new or removed name is on the disk once its directory is: open it for reading and flush.
// Some file systems refuse to flush a directory (EINVAL); there is nothing more to wait for.
inline int flush_dir(const char *path) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    const bool ok = rc == 0 || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return ok ? 0 : -1;
}

#endif

}  // namespace bv_platform
