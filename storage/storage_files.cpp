// File and directory primitives of the storage engine: path joining, directory chains,
// existence and size tests, whole-file reads, atomic whole-file writes, removal, listings, and
// the flushes that make a write or removal durable when the storage asks for that.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/bv_platform.h"
#include "platform/bv_platform_file.h"
#include "platform/bv_platform_fs.h"
#include "storage/storage_internal.h"

namespace reg_internal {

bool (*s_sync_hook)(sync_target target, const char *path);
int (*s_mkdir_hook)(const char *path);
bool (*s_append_hook)(size_t len);
bool (*s_writeback_hook)(int64_t offset, int64_t len);
int s_write_errno;

namespace {

// write_file's temporary files start with this; no name the engine stores does.
constexpr char kTempPrefix[] = ".~wf-";

bool is_dir_sep(char c) { return c == '/' || c == '\\'; }

// Separators of the running platform: '/' everywhere, '\' as well on Windows.
bool is_native_sep(char c) { return c == '/' || c == bv_platform::path_sep; }

// A failed write step: its errno (EIO when the step set none) goes to s_write_errno. -1.
int noted_failure(int err) {
    s_write_errno = err != 0 ? err : EIO;
    return -1;
}

// A test hook's word on a step about to be made: true to make it. A refusal is noted with the
// errno the hook leaves, EIO when it leaves none.
template <class Hook, class... Args>
bool hook_allows(Hook hook, Args... args) {
    if (!hook) return true;
    errno = 0;
    if (hook(args...)) return true;
    noted_failure(errno);
    return false;
}

// How often one step of mkdirs makes its directory again after an EEXIST with nothing there.
// One more host racing the same name is one more mkdir at worst; a name that never stays is
// given up on.
constexpr int kMkdirAttempts = 10;

// A mkdir as make_dir, or as the test hook answers in its place.
int make_dir_once(const char *path) {
    if (s_mkdir_hook) {
        if (const int err = s_mkdir_hook(path)) return err;
    }
    return bv_platform::make_dir(path);
}

// One _mkdir step of mkdirs: an existing name is no failure. A directory this step creates
// is a new entry of its parent, which must reach the disk before anything inside it counts.
// EEXIST alone does not prove a directory there: when two hosts of a GlusterFS volume make
// the same new directory at the same moment, both may be told EEXIST and no directory stays
// (the brick makes it for one request, fails to record its identity and removes it again).
// The next mkdir of the chain, or the file then written into the directory, would fail with
// ENOENT. So the name is looked at, and the directory made again while nothing is there.
bool make_dir_tolerant(const char *path) {
    int err = EEXIST;
    for (int attempt = 0; attempt < kMkdirAttempts; ++attempt) {
        err = make_dir_once(path);
        if (err == 0) return sync_parent(path) == 0;
        const bv_platform::path_kind kind = bv_platform::kind_of(path);
        if (kind == bv_platform::path_kind::directory) return true;
        if (err != EEXIST) break;
        // A file in the way is for the caller's next step to fail on, as before.
        if (kind == bv_platform::path_kind::file) return true;
    }
    noted_failure(err);
    return false;
}

// Windows refuses to replace a file while another process has it open, which a reader does
// for a moment; waits that grow up to a bound ride that out even on a busy machine.
// Elsewhere a failed rename is final.
bool replace_with_retries(const char *tmp, const char *path) {
    using namespace std::chrono;
    const auto give_up = steady_clock::now() + seconds(2);
    auto wait = milliseconds(1);
    for (;;) {
        if (bv_platform::replace_file(tmp, path) == 0) return true;
        noted_failure(errno);
        if (!bv_platform::readers_block_replace || !file_exists(path) ||
            steady_clock::now() >= give_up)
            return false;
        std::this_thread::sleep_for(wait);
        wait = std::min(wait * 2, milliseconds(50));
    }
}

}  // namespace

void path_join(char *out, size_t out_size, const char *left, const char *right) {
    if (!out || out_size == 0) return;
    std::snprintf(out, out_size, "%s%s%s", left, bv_platform::path_sep_str, right);
}

char *xstrdup(const char *text) {
    if (!text) return nullptr;
    const size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

int mkdirs(const char *path) {
    if (!path) return -1;
    const size_t n = std::strlen(path);
    if (n == 0 || n >= kPathSize) return noted_failure(ENAMETOOLONG);
    // Most calls find the whole chain there already: one look instead of a step per level.
    if (dir_exists(path)) return 0;
    char copy[kPathSize];
    std::memcpy(copy, path, n + 1);

    // A separator in the first position is the file-system root, and on Windows a drive
    // ("C:" or "C:\") is no directory to make. Elsewhere "C:" is an ordinary name that the
    // chain may have to create.
    size_t start = 1;
    if (bv_platform::path_sep == '\\' && std::isalpha(static_cast<unsigned char>(copy[0])) &&
        copy[1] == ':')
        start = (n >= 4 && is_dir_sep(copy[2])) ? 3 : 2;

    for (size_t i = start; i < n; ++i) {
        if (!is_dir_sep(copy[i])) continue;
        const char sep = copy[i];
        copy[i] = '\0';
        const bool ok = make_dir_tolerant(copy);
        copy[i] = sep;
        if (!ok) return -1;
    }
    return make_dir_tolerant(copy) ? 0 : -1;
}

bool durable() { return s_settings.durable_writes != 0; }

int sync_stream(std::FILE *f, const char *path) {
    if (!durable()) return 0;
    if (!hook_allows(s_sync_hook, sync_target::file, path)) return -1;
    return bv_platform::flush_stream(f) == 0 ? 0 : noted_failure(errno);
}

int sync_locked(bv_platform::locked_file &file, const char *path) {
    if (!durable()) return 0;
    if (!hook_allows(s_sync_hook, sync_target::file, path)) return -1;
    return file.flush() ? 0 : noted_failure(errno);
}

int sync_dir(const char *dir) {
    if (!durable()) return 0;
    if (!dir || !*dir) return noted_failure(EINVAL);
    if (!hook_allows(s_sync_hook, sync_target::dir, dir)) return -1;
    using namespace std::chrono;
    const auto give_up = steady_clock::now() + milliseconds(500);
    auto wait = milliseconds(1);
    for (;;) {
        if (bv_platform::flush_dir(dir) == 0) return 0;
        noted_failure(errno);
        // Removed meanwhile by another process, which it can be only once empty: what must
        // hold now is its removal from its parent.
        if (bv_platform::kind_of(dir) == bv_platform::path_kind::missing) return sync_parent(dir);
        // Where open handles stand in the way (Windows), another process opening or removing
        // the directory at the same moment makes the open fail for a moment.
        if (!bv_platform::readers_block_replace || steady_clock::now() >= give_up) return -1;
        std::this_thread::sleep_for(wait);
        wait = std::min(wait * 2, milliseconds(50));
    }
}

int sync_parent(const char *path) {
    if (!durable()) return 0;
    if (!path) return noted_failure(EINVAL);
    size_t len = std::strlen(path);
    while (len > 0 && is_dir_sep(path[len - 1])) --len;  // "a/b/" names b, like "a/b"
    while (len > 0 && !is_dir_sep(path[len - 1])) --len;
    if (len == 0) return sync_dir(".");
    // The separator stays only where it is the parent itself: "/" or "C:\".
    const bool root = len == 1 || (len == 3 && path[1] == ':');
    const size_t keep = root ? len : len - 1;
    if (keep >= kPathSize) return noted_failure(ENAMETOOLONG);
    char parent[kPathSize];
    std::memcpy(parent, path, keep);
    parent[keep] = '\0';
    return sync_dir(parent);
}

int file_exists(const char *path) {
    return path && bv_platform::kind_of(path) == bv_platform::path_kind::file ? 1 : 0;
}

int dir_exists(const char *path) {
    return path && bv_platform::kind_of(path) == bv_platform::path_kind::directory ? 1 : 0;
}

int64_t file_size(const char *path) { return path ? bv_platform::size_of(path) : -1; }

int read_file(const char *path, char *buf, size_t cap, size_t *out_len) {
    if (!path || !buf || cap == 0) return -1;
    size_t got = 0;
    if (bv_platform::read_start(path, buf, cap - 1, &got, nullptr) != 0) return -1;
    buf[got] = '\0';
    if (out_len) *out_len = got;
    return 0;
}

// Readers must never see a half-written file and a failed write must not destroy the old
// content, so the bytes go to a fresh file beside the target, which then replaces it in one
// rename. The temporary name holds the process id and a counter; creating it exclusively
// keeps two writers (or a leftover of a crashed one) from ever sharing it.
namespace {

int write_file_as(const char *path, const void *data, size_t len, bool may_sync) {
    if (!path || !*path || (len > 0 && !data)) return noted_failure(EINVAL);
    size_t dir_len = std::strlen(path);
    while (dir_len > 0 && !is_native_sep(path[dir_len - 1])) --dir_len;

    static unsigned counter;
    char tmp[kPathSize];
    std::FILE *f = nullptr;
    for (int attempt = 0; attempt < 100 && !f; ++attempt) {
        const int n = std::snprintf(tmp, sizeof tmp, "%.*s%s%lx-%x", static_cast<int>(dir_len),
                                    path, kTempPrefix, bv_platform::process_id(), counter++);
        if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) return noted_failure(ENAMETOOLONG);
        f = bv_platform::open_exclusive(tmp);
        if (!f && errno != EEXIST) return noted_failure(errno);
    }
    if (!f) return noted_failure(EEXIST);

    // The first step that fails is the one the caller hears of: the close after a failed
    // write, and the removal of the temporary file, may fail for reasons of their own.
    int err = 0;
    errno = 0;
    if ((len > 0 && std::fwrite(data, 1, len, f) != len) || std::ferror(f) != 0)
        err = errno != 0 ? errno : EIO;
    // The bytes must be on the disk before the rename can publish them: after a crash the
    // name must lead to the old content or the new, never to an empty file.
    if (err == 0 && may_sync && sync_stream(f, tmp) != 0) err = s_write_errno;
    // Buffered bytes reach the file at close, so a failing close is a failed write.
    errno = 0;
    if (std::fclose(f) != 0 && err == 0) err = errno != 0 ? errno : EIO;
    if (err != 0 || !replace_with_retries(tmp, path)) {
        if (err == 0) err = s_write_errno;
        bv_platform::unlink_file(tmp);
        return noted_failure(err);
    }
    return may_sync ? sync_parent(path) : 0;
}

}  // namespace

int write_file(const char *path, const void *data, size_t len) {
    return write_file_as(path, data, len, true);
}

int write_file_unsynced(const char *path, const void *data, size_t len) {
    return write_file_as(path, data, len, false);
}

int remove_file(const char *path) {
    if (!file_exists(path)) return 0;
    if (bv_platform::unlink_file(path) != 0) return noted_failure(errno);
    return sync_parent(path);
}

namespace {

// Without the hints the whole upload would still be in memory when the finish flushes it,
// and the client would wait for all of it to be written. Once asked, the disk writes each
// window while the next arrives. The answer is ignored: a hint that is refused or fails has
// made no promise, and the finish's flush does the rest.
void start_writeback_of_windows(bv_platform::locked_file &file, int64_t from, int64_t to) {
    for (int64_t end = (from / kWritebackWindow + 1) * kWritebackWindow; end <= to;
         end += kWritebackWindow) {
        const int64_t start = end - kWritebackWindow;
        if (s_writeback_hook && !s_writeback_hook(start, kWritebackWindow)) continue;
        file.start_writeback(start, kWritebackWindow);
    }
}

}  // namespace

int append_locked(bv_platform::locked_file &file, int64_t at, const void *data, size_t len) {
    if (!hook_allows(s_append_hook, len)) return -1;
    errno = 0;
    if (!file.write_all(data, len)) return noted_failure(errno);
    if (durable()) start_writeback_of_windows(file, at, at + static_cast<int64_t>(len));
    return 0;
}

int drop_file(const char *path) {
    if (!file_exists(path)) return 0;
    return bv_platform::unlink_file(path);
}

bool is_temp_name(const char *name) {
    return name && std::strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) == 0;
}

dir_listing::~dir_listing() {
    std::free(entries_);
    std::free(pool_);
}

bool dir_listing::add(const char *name, bool is_dir) {
    const size_t len = std::strlen(name) + 1;
    // Both arrays double, so filling a listing costs amortised constant time per entry.
    if (count_ == entries_cap_) {
        const size_t cap = entries_cap_ ? entries_cap_ * 2 : 64;
        if (cap > SIZE_MAX / sizeof(entry)) return false;
        void *grown = std::realloc(entries_, cap * sizeof(entry));
        if (!grown) return false;
        entries_ = static_cast<entry *>(grown);
        entries_cap_ = cap;
    }
    if (pool_cap_ - pool_len_ < len) {
        size_t cap = pool_cap_ ? pool_cap_ : 4096;
        while (cap - pool_len_ < len) {
            if (cap > SIZE_MAX / 2) return false;
            cap *= 2;
        }
        char *grown = static_cast<char *>(std::realloc(pool_, cap));
        if (!grown) return false;
        pool_ = grown;
        pool_cap_ = cap;
    }
    std::memcpy(pool_ + pool_len_, name, len);
    entries_[count_++] = entry{pool_len_, is_dir};
    pool_len_ += len;
    return true;
}

int list_dir(const char *dir, dir_listing *listing) {
    if (!listing) return kListUnreadable;
    listing->clear();
    if (!dir || !dir_exists(dir)) return kListUnreadable;
    bv_platform::dir_reader reader;
    if (!reader.open(dir)) return kListUnreadable;
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!is_dir && is_temp_name(name)) continue;
        if (!listing->add(name, is_dir)) {
            listing->clear();
            return kListNoMemory;
        }
    }
    return 0;
}

}  // namespace reg_internal
