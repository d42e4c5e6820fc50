// Repository blob links: the file {repo}/_layers/{algorithm}/{hex}/link that lets one
// repository see a blob of the shared store. Linking, unlinking and the link test; the blob's
// bytes are never touched here.
#include <cstdio>
#include <cstring>

#include "platform/bv_platform_fs.h"
#include "platform/bv_platform_time.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

using namespace reg_internal;

namespace {


// An unlink of another blob's link may remove the directory between a link's mkdirs and its
// write; the pair of steps is then taken again.
constexpr int kWriteAttempts = 4;

// The tests every link operation runs first: 0, or -1 with the message set.
int check_link_args(const char *repo_name, const char *digest) {
    if (!repo_name || !digest) {
        set_error(REG_ERR_ARGUMENT, "repo_name/digest is NULL");
        return -1;
    }
    if (require_repo_digest(repo_name, digest) != 0) return -1;
    return 0;
}

// 1 when the link file holds exactly `digest`, 0 when it is absent or holds anything else,
// -1 when it exists but cannot be read. A link another process (or host, on a shared volume)
// is replacing at that moment may fail to open once though it exists; reading again decides.
int link_names_digest(const char *link_path, const char *digest) {
    char text[kDigestSize + 1];
    size_t len = 0;
    for (int attempt = 0;; ++attempt) {
        if (read_file(link_path, text, sizeof text, &len) == 0) break;
        if (!file_exists(link_path)) return 0;
        if (attempt == 2) return -1;
    }
    // A link holds the digest string, no line end.
    const size_t digest_len = std::strlen(digest);
    return len == digest_len && std::memcmp(text, digest, digest_len) == 0 ? 1 : 0;
}

// reg_blob_link once its arguments are checked and the blob was found at `path`: takes the
// repository's lock for the link and lets it go with the return.
int link_locked(const char *repo_name, const char *digest, const char *path) {
    repo_lock lock;
    if (lock.acquire(repo_name) != 0) return -1;
    if (s_repo_locked_hook) s_repo_locked_hook("link", repo_name);
    // The blob is claimed too: a collection that parked it since the caller's test makes this
    // fail, and one that looks at it later finds it young and keeps it.
    if (claim_file(path) != 0) {
        set_error(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    char link[kPathSize];
    blob_link_path(repo_name, digest + kAlgorithmPrefixLen, link, sizeof link);
    // Linked already: the link's time restarts its grace, as a new link's would.
    if (link_names_digest(link, digest) == 1 && claim_file(link) == 0) return 0;

    // Directories this call makes go again when it fails, so that a failed link or mount
    // leaves no repository behind that was not there before.
    char dirs[3][kPathSize];
    repo_layers_dir(repo_name, dirs[0], sizeof dirs[0]);
    blob_links_root(repo_name, hex_algorithm(digest + kAlgorithmPrefixLen), dirs[1], sizeof dirs[1]);
    blob_link_dir(repo_name, digest + kAlgorithmPrefixLen, dirs[2], sizeof dirs[2]);
    bool existed[3];
    for (int i = 0; i < 3; ++i) existed[i] = dir_exists(dirs[i]) != 0;
    const char *failed = "write blob link failed";
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (mkdirs(dirs[2]) != 0) {
            failed = "mkdirs blob link dir failed";
            break;
        }
        if (write_file(link, digest, std::strlen(digest)) == 0) return 0;
        if (dir_exists(dirs[2])) break;  // not the race with an unlink
    }
    for (int i = 2; i >= 0; --i)
        if (!existed[i]) bv_platform::remove_dir(dirs[i]);
    set_write_error("%s", failed);
    return -1;
}

}  // namespace

extern "C" int reg_blob_link(const char *repo_name, const char *digest) {
    if (check_link_args(repo_name, digest) != 0) return -1;
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_error(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    if (link_locked(repo_name, digest, path) != 0) return -1;
    // A link may make the repository: listed before the link is answered (rule 8).
    return catalog_index_note(repo_name);
}

namespace {

// The checked arguments and the path of a link file that is there: 0, or -1 with the message
// set (REG_ERR_NOT_FOUND when there is no link file).
int present_link(const char *repo_name, const char *digest, char (&link)[kPathSize]) {
    if (check_link_args(repo_name, digest) != 0) return -1;
    blob_link_path(repo_name, digest + kAlgorithmPrefixLen, link, sizeof link);
    // The kind test: a directory of that name is no link, and its removal would fail as I/O.
    if (file_exists(link)) return 0;
    set_error(REG_ERR_NOT_FOUND, "blob not linked in %s: %s", repo_name, digest);
    return -1;
}

}  // namespace

namespace reg_internal {

int blob_unlink_locked(const char *repo_name, const char *digest, bool synced) {
    char link[kPathSize];
    if (present_link(repo_name, digest, link) != 0) return -1;
    if (bv_platform::unlink_file(link) != 0) {
        // Gone meanwhile: another unlink got there first, and this one found nothing.
        if (!file_exists(link)) {
            set_error(REG_ERR_NOT_FOUND, "blob not linked in %s: %s", repo_name, digest);
        } else {
            set_error(REG_ERR_IO, "remove blob link failed");
        }
        return -1;
    }
    // The removal must hold once the caller answers; the empty directory may come back.
    if (synced && sync_parent(link) != 0) {
        set_write_error("flush after removing blob link failed");
        return -1;
    }
    // The directory goes only when it is empty, which a link written meanwhile prevents.
    char dir[kPathSize];
    blob_link_dir(repo_name, digest + kAlgorithmPrefixLen, dir, sizeof dir);
    bv_platform::remove_dir(dir);
    return 0;
}

}  // namespace reg_internal

extern "C" int reg_blob_unlink(const char *repo_name, const char *digest) {
    // Without a link there is nothing to lock for (and no directory to make for the lock).
    char link[kPathSize];
    if (present_link(repo_name, digest, link) != 0) return -1;
    repo_lock lock;
    if (lock.acquire(repo_name) != 0) return -1;
    if (s_repo_locked_hook) s_repo_locked_hook("unlink", repo_name);
    return blob_unlink_locked(repo_name, digest, true);
}

namespace {

// A link a read finds older than this is claimed again, so the collector's grace counts from
// the second of any answer that showed the link, however short an operator makes the grace;
// the reads of one link within that second write nothing.
constexpr int64_t kClaimAge = 1;
// The link this process claimed or found young last, and its time then: until kClaimAge has
// passed from that time it is known without a look. Only a claim makes a link younger, so what is known here never overstates it.
char s_claimed_link[kPathSize];
int64_t s_claimed_at = -1;

// reg_blob_linked, with the blob's size when the answer is 1.
int linked_blob(const char *repo_name, const char *digest, int64_t *size) {
    if (check_link_args(repo_name, digest) != 0) return -1;
    char link[kPathSize];
    blob_link_path(repo_name, digest + kAlgorithmPrefixLen, link, sizeof link);
    // A link that names another digest links nothing; the next reg_blob_link rewrites it.
    const int named = link_names_digest(link, digest);
    if (named < 0) {
        set_error(REG_ERR_IO, "cannot read blob link");
        return -1;
    }
    if (named == 0) return 0;
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    *size = bv_platform::file_size_of(path);
    if (*size >= 0) return 1;
    // Parked by a collection. A link that names it was there before the park, or claimed the
    // blob before it (a claim fails while the blob is parked) and so made it young: either
    // way the collection's last look puts the blob back, or would have, had the collection
    // not been stopped in between. Putting it back here does what it would have done.
    char parked[kPathSize];
    blob_trash_path(digest + kAlgorithmPrefixLen, parked, sizeof parked);
    if (file_exists(parked)) bv_platform::move_no_replace(parked, path);
    *size = bv_platform::file_size_of(path);
    return *size >= 0 ? 1 : 0;
}

}  // namespace

extern "C" int reg_blob_linked(const char *repo_name, const char *digest) {
    int64_t size = -1;
    return linked_blob(repo_name, digest, &size);
}

extern "C" int reg_blob_linked_claim(const char *repo_name, const char *digest, int64_t *size) {
    int64_t found = -1;
    const int linked = linked_blob(repo_name, digest, &found);
    if (size) *size = found;
    if (linked != 1 || s_settings.read_only) return linked;
    char link[kPathSize];
    blob_link_path(repo_name, digest + kAlgorithmPrefixLen, link, sizeof link);
    const int64_t now = bv_platform::now_seconds();
    if (s_claimed_at >= 0 && now - s_claimed_at < kClaimAge && now >= s_claimed_at &&
        std::strcmp(s_claimed_link, link) == 0)
        return 1;
    // Claimed recently enough, by any process: the time stays, and is remembered.
    const int64_t mtime = bv_platform::mtime_of(link);
    if (mtime >= 0 && now - mtime < kClaimAge && now >= mtime) {
        std::snprintf(s_claimed_link, sizeof s_claimed_link, "%s", link);
        s_claimed_at = mtime;
        return 1;
    }
    repo_lock lock;
    // A tree that cannot be written still serves what it holds.
    if (lock.acquire(repo_name) != 0) return 1;
    // Gone since the look above: a collection removed it, and the answer is that it is not here.
    if (claim_file(link) != 0) return 0;
    std::snprintf(s_claimed_link, sizeof s_claimed_link, "%s", link);
    s_claimed_at = now;
    return 1;
}
