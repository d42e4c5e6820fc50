// File-system calls that differ between Windows and the other platforms: the kind and size of
// a path, one-level directory creation and removal, directory enumeration, renames that replace
// or keep their target, exclusive creation, appending to an existing file and opening files
// that another host may be replacing. On Windows paths go through sys_path (bv_platform_path.h).
#pragma once

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>

#include "platform/bv_platform_path.h"
// Declared here rather than through <windows.h>, which would pour its macros into every
// file that includes this one; the declarations match the system's own.
extern "C" __declspec(dllimport) unsigned long __stdcall GetFileAttributesW(const wchar_t *);
extern "C" __declspec(dllimport) int __stdcall MoveFileExW(const wchar_t *, const wchar_t *,
                                                           unsigned long);
extern "C" __declspec(dllimport) unsigned long __stdcall GetLastError(void);
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#endif

namespace bv_platform {

// Set by tests to take the path of file systems that refuse a rename that keeps its target
// (no effect on Windows, whose moves keep their target anyway).
inline bool refuse_noreplace_rename = false;

enum class path_kind { missing, file, directory };

// What tells one version of a file from the next without reading it. `known` is false where
// the platform cannot tell (Windows here): such a file must be read every time.
struct file_identity {
    bool known = false;
    uint64_t device = 0, inode = 0;
    int64_t size = 0;
    int64_t mtime_s = 0, mtime_ns = 0, ctime_s = 0, ctime_ns = 0;

    bool same_as(const file_identity &o) const {
        return known && o.known && device == o.device && inode == o.inode && size == o.size &&
               mtime_s == o.mtime_s && mtime_ns == o.mtime_ns && ctime_s == o.ctime_s &&
               ctime_ns == o.ctime_ns;
    }
};

#ifdef _WIN32

inline path_kind kind_of(const char *path) {
    const unsigned long attrs = GetFileAttributesW(sys_path(path).c_str());
    if (attrs == 0xFFFFFFFFul) return path_kind::missing;
    return (attrs & 0x10ul) ? path_kind::directory : path_kind::file;
}

// The kind of a path; its identity stays unknown here (see file_identity).
inline path_kind identify(const char *path, file_identity *id) {
    *id = file_identity{};
    return kind_of(path);
}

// Whether a file's identity can be trusted to change with its next edit: never known here.
inline bool identity_settled(const file_identity &) { return false; }

// Size in bytes, or -1 when the path's attributes cannot be read.
inline int64_t size_of(const char *path) {
    struct _stat64 st;
    if (_wstat64(sys_path(path).c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

// The size of a file, from one look: -1 when the path is missing, unreadable or a directory.
inline int64_t file_size_of(const char *path) {
    struct _stat64 st;
    if (_wstat64(sys_path(path).c_str(), &st) != 0 || (st.st_mode & _S_IFDIR)) return -1;
    return static_cast<int64_t>(st.st_size);
}

// Creates one directory whose parent exists: 0, or the errno value of the failure
// (EEXIST when the name is taken).
inline int make_dir(const char *path) { return _wmkdir(sys_path(path).c_str()) == 0 ? 0 : errno; }

// A reader holding the target open makes a replacing move fail for a moment.
inline constexpr bool readers_block_replace = true;

// The system's calls leave errno alone; the runtime's do not. A failed move sets it as the
// runtime would have: ENOSPC for a full disk, EEXIST for a taken name, EIO for the rest.
inline int move_failed() {
    const unsigned long err = GetLastError();
    if (err == 112ul /* ERROR_DISK_FULL */ || err == 39ul /* ERROR_HANDLE_DISK_FULL */)
        errno = ENOSPC;
    else if (err == 80ul /* ERROR_FILE_EXISTS */ || err == 183ul /* ERROR_ALREADY_EXISTS */)
        errno = EEXIST;
    else
        errno = EIO;
    return -1;
}

// Moves `from` to `to`, replacing a file that exists there.
inline int replace_file(const char *from, const char *to) {
    const unsigned long replace_existing = 0x1ul;  // MOVEFILE_REPLACE_EXISTING
    return MoveFileExW(sys_path(from).c_str(), sys_path(to).c_str(), replace_existing)
               ? 0
               : move_failed();
}

// A binary stream on a file created by this call; null (errno EEXIST) when the name exists.
inline std::FILE *open_exclusive(const char *path) {
    const sys_path wide(path);
    const int fd =
        _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE *f = _fdopen(fd, "wb");
    if (!f) {
        // The file was made by this call, so a failure must not leave it behind.
        const int err = errno;
        _close(fd);
        _wunlink(wide.c_str());
        errno = err;
    }
    return f;
}

inline unsigned long process_id() { return static_cast<unsigned long>(_getpid()); }

// A binary stream appending to a file that exists; null when it does not (nothing is created).
inline std::FILE *open_append(const char *path) {
    const int fd = _wopen(sys_path(path).c_str(), _O_WRONLY | _O_APPEND | _O_BINARY);
    if (fd < 0) return nullptr;
    std::FILE *f = _fdopen(fd, "ab");
    if (!f) _close(fd);
    return f;
}

// Moves `from` to `to` within one volume (never by copying); fails when `to` exists.
inline int move_no_replace(const char *from, const char *to) {
    return MoveFileExW(sys_path(from).c_str(), sys_path(to).c_str(), 0ul) ? 0 : move_failed();
}

// The move move_no_replace falls back to elsewhere; Windows moves never replace, so it is
// the same move here.
inline int move_no_replace_by_link(const char *from, const char *to) {
    return move_no_replace(from, to);
}

// A binary stream reading the file, or null. While another process replaces the file, the old
// one lingers delete-pending for a moment and opens of the name fail with EACCES; a few short
// waits (under 60 ms in all) find the new file.
inline std::FILE *open_read(const char *path) {
    const sys_path wide(path);
    for (int attempt = 0;; ++attempt) {
        std::FILE *f = _wfopen(wide.c_str(), L"rb");
        if (f || errno != EACCES || attempt == 10) return f;
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt + 1));
    }
}

// Reads the start of a file into `buf`, at most `cap` bytes, until a read finds the end
// (see the other branch): 0 with *got set, and *more when `more` is not null (whether
// bytes follow a full buffer), or -1 with errno set. Opens wait out a replace as open_read does.
inline int read_start(const char *path, void *buf, size_t cap, size_t *got, bool *more) {
    const sys_path wide(path);
    int fd = -1;
    for (int attempt = 0;; ++attempt) {
        fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY);
        if (fd >= 0 || errno != EACCES || attempt == 10) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt + 1));
    }
    if (fd < 0) return -1;
    char *out = static_cast<char *>(buf);
    size_t have = 0;
    while (have < cap) {
        const size_t ask = cap - have < (1u << 30) ? cap - have : (1u << 30);
        const int n = _read(fd, out + have, static_cast<unsigned>(ask));
        if (n < 0) {
            const int err = errno;
            _close(fd);
            errno = err;
            return -1;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    char probe;
    const bool full = have == cap;
    const int extra = full && more ? _read(fd, &probe, 1) : 0;
    _close(fd);
    if (extra < 0) return -1;
    *got = have;
    if (more) *more = extra > 0;
    return 0;
}

// Removes an empty directory: 0 or -1.
inline int remove_dir(const char *path) { return _wrmdir(sys_path(path).c_str()) == 0 ? 0 : -1; }

// Removes a file (never a directory): 0, or -1 with errno set.
inline int unlink_file(const char *path) { return _wunlink(sys_path(path).c_str()) == 0 ? 0 : -1; }

// Enumerates one directory, "." and ".." included, each name with its directory bit.
class dir_reader {
public:
    dir_reader() = default;
    dir_reader(const dir_reader &) = delete;
    dir_reader &operator=(const dir_reader &) = delete;
    ~dir_reader() { close(); }

    bool open(const char *dir) {
        close();
        char pattern[4096];
        const int n = std::snprintf(pattern, sizeof pattern, "%s\\*", dir);
        if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return false;
        handle_ = _wfindfirst64(sys_path(pattern).c_str(), &data_);
        pending_ = handle_ != -1;
        return pending_;
    }
    bool next(const char **name, bool *is_dir) {
        if (handle_ == -1) return false;
        do {
            if (!pending_ && _wfindnext64(handle_, &data_) != 0) return false;
            pending_ = false;
        } while (!sys_path::narrow(data_.name, name_, sizeof name_));  // skip what cannot be named
        *name = name_;
        *is_dir = (data_.attrib & _A_SUBDIR) != 0;
        return true;
    }
    void close() {
        if (handle_ != -1) _findclose(handle_);
        handle_ = -1;
    }

private:
    intptr_t handle_ = -1;
    struct _wfinddata64_t data_ {};
    char name_[1024] = {};  // the current entry's name in the ANSI code page
    bool pending_ = false;  // the first entry came with _wfindfirst64 and is not yet delivered
};

#else

// On a volume that several hosts mount (GlusterFS), a lookup made while another host replaces
// the file by rename may still name the file that went, and the call then fails with ESTALE
// (about once in a thousand replaces); a new lookup finds the new file. The waits grow from
// 1 ms and all of them together stay under 60 ms.
inline constexpr int stale_retries = 10;

inline void pause_before_retry(int attempt) {
    const struct timespec wait = {0, 1000000L * (attempt + 1)};
    ::nanosleep(&wait, nullptr);
}

inline int stat_fresh(const char *path, struct stat *st) {
    for (int attempt = 0;; ++attempt) {
        if (::stat(path, st) == 0) return 0;
        if (errno != ESTALE || attempt == stale_retries) return -1;
        pause_before_retry(attempt);
    }
}

inline path_kind kind_of(const char *path) {
    struct stat st;
    if (stat_fresh(path, &st) != 0) return path_kind::missing;
    return S_ISDIR(st.st_mode) ? path_kind::directory : path_kind::file;
}

// The kind of a path and, for a file, its identity (see file_identity), from one stat.
inline path_kind identify(const char *path, file_identity *id) {
    *id = file_identity{};
    struct stat st;
    if (stat_fresh(path, &st) != 0) return path_kind::missing;
    if (S_ISDIR(st.st_mode)) return path_kind::directory;
    id->known = true;
    id->device = static_cast<uint64_t>(st.st_dev);
    id->inode = static_cast<uint64_t>(st.st_ino);
    id->size = static_cast<int64_t>(st.st_size);
    id->mtime_s = static_cast<int64_t>(st.st_mtim.tv_sec);
    id->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_nsec);
    id->ctime_s = static_cast<int64_t>(st.st_ctim.tv_sec);
    id->ctime_ns = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return path_kind::file;
}

// Whether the next edit of a file is sure to change its identity. File systems stamp changes
// with a clock that moves in steps of milliseconds, so an edit made within the step of the
// last one, keeping the size and the inode, could leave the identity as it was; a file last
// changed two seconds ago or more is past any such step.
inline bool identity_settled(const file_identity &id) {
    struct timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    const int64_t newest = id.ctime_s > id.mtime_s ? id.ctime_s : id.mtime_s;
    return id.known && static_cast<int64_t>(now.tv_sec) - newest >= 2;
}

inline int64_t size_of(const char *path) {
    struct stat st;
    if (stat_fresh(path, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

inline int64_t file_size_of(const char *path) {
    struct stat st;
    if (stat_fresh(path, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

// Opens for reading a file that another host may be replacing: the open is tried again on
// ESTALE, a bounded number of times, so a reader sees the old file or the new one.
inline std::FILE *open_read(const char *path) {
    for (int attempt = 0;; ++attempt) {
        std::FILE *f = std::fopen(path, "rb");
        if (f || errno != ESTALE || attempt == stale_retries) return f;
        pause_before_retry(attempt);
    }
}

// Reads the start of a file into `buf`, at most `cap` bytes: 0 with *got set, and *more when
// `more` is not null (whether bytes follow a full buffer), or -1 with errno set. Only a read
// that returns nothing marks the end: a FUSE mount in direct I/O mode may answer a read with
// fewer bytes than the file still holds. So a file smaller than the buffer costs an open, its
// read, the read that finds the end and a close (stdio adds an fstat); a full buffer takes
// one more read, of a byte, when the caller asks what follows. The open is tried again on
// ESTALE, as open_read does.
inline int read_start(const char *path, void *buf, size_t cap, size_t *got, bool *more) {
    int fd = -1;
    for (int attempt = 0;; ++attempt) {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != ESTALE || attempt == stale_retries) break;
        pause_before_retry(attempt);
    }
    if (fd < 0) return -1;
    char *out = static_cast<char *>(buf);
    size_t have = 0;
    ssize_t n = 0;
    while (have < cap) {
        n = ::read(fd, out + have, cap - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    char probe;
    if (n >= 0 && have == cap && more) {
        do n = ::read(fd, &probe, 1);
        while (n < 0 && errno == EINTR);
    }
    const int err = errno;
    ::close(fd);
    if (n < 0) {
        errno = err;
        return -1;
    }
    *got = have;
    if (more) *more = have == cap && n > 0;
    return 0;
}

inline int make_dir(const char *path) { return ::mkdir(path, 0777) == 0 ? 0 : errno; }

// Open files never stand in the way of a rename here.
inline constexpr bool readers_block_replace = false;

// rename() replaces an existing target here, atomically.
inline int replace_file(const char *from, const char *to) {
    return std::rename(from, to) == 0 ? 0 : -1;
}

inline std::FILE *open_exclusive(const char *path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE *f = ::fdopen(fd, "wb");
    if (!f) {
        const int err = errno;
        ::close(fd);
        ::unlink(path);
        errno = err;
    }
    return f;
}

inline unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

inline std::FILE *open_append(const char *path) {
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::FILE *f = ::fdopen(fd, "ab");
    if (!f) ::close(fd);
    return f;
}

// The same move from a second name and an unlink: link() never replaces, so an existing
// target fails it with EEXIST. Until the unlink both names lead to the file; of two movers
// of one file to different names only the one whose unlink succeeds has moved it, and the
// other takes its own new name back. 0, or -1 with errno set and `from` left in place.
inline int move_no_replace_by_link(const char *from, const char *to) {
    if (::link(from, to) != 0) return -1;
    if (::unlink(from) == 0) return 0;
    const int err = errno;
    ::unlink(to);
    errno = err;
    return -1;
}

// rename() would replace an existing target; RENAME_NOREPLACE fails instead. File systems
// that refuse the flag (GlusterFS through FUSE answers EINVAL) get the move by hard link.
// Only where there are no hard links either is the plain rename left, which replaces.
inline int move_no_replace(const char *from, const char *to) {
#ifdef RENAME_NOREPLACE
    if (!refuse_noreplace_rename) {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    }
#endif
    if (move_no_replace_by_link(from, to) == 0) return 0;
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS)
        return -1;
    return std::rename(from, to) == 0 ? 0 : -1;
}

inline int remove_dir(const char *path) { return ::rmdir(path) == 0 ? 0 : -1; }

inline int unlink_file(const char *path) { return ::unlink(path) == 0 ? 0 : -1; }

class dir_reader {
public:
    dir_reader() = default;
    dir_reader(const dir_reader &) = delete;
    dir_reader &operator=(const dir_reader &) = delete;
    ~dir_reader() { close(); }

    bool open(const char *dir) {
        close();
        dir_ = ::opendir(dir);
        return dir_ != nullptr;
    }
    bool next(const char **name, bool *is_dir) {
        if (!dir_) return false;
        const struct dirent *e = ::readdir(dir_);
        if (!e) return false;
        *name = e->d_name;
        if (e->d_type == DT_DIR) {
            *is_dir = true;
        } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            // Some file systems leave the type open, and a link counts as what it points at.
            struct stat st;
            *is_dir = ::fstatat(::dirfd(dir_), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        } else {
            *is_dir = false;
        }
        return true;
    }
    void close() {
        if (dir_) ::closedir(dir_);
        dir_ = nullptr;
    }

private:
    DIR *dir_ = nullptr;
};

#endif

}  // namespace bv_platform
