// Uploads: files in {root}/uploads named by random identifiers, fed by chunks or by streamed
// request bodies under an exclusive file lock and hashed as they grow, then moved into the
// blob store.
// Appends, finishes and cancels of one upload may race in several processes; the lock and the
// claim of the file by a finish or a cancel keep every stored blob equal to the bytes its name
// was computed from, and order each append wholly before a cancel or make it fail.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/bv_platform_file.h"
#include "platform/bv_platform_fs.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

void (*s_append_pause)(append_stage stage);

}  // namespace reg_internal

using namespace reg_internal;

namespace {

// Identifiers to try before giving up on creating an upload file. A clash needs another
// upload of the same 128 random bits; a run of them means the random source is broken.
constexpr int kCreateAttempts = 8;

// A finish creates the fan-out directory and renames into it, while a delete of the last blob
// in it removes the directory; when that happens in between, the pair of steps is taken again.
// Every failed move is retried: another finish may already have made the directory anew, so
// its presence afterwards does not tell the race from a lasting failure.
constexpr int kMoveAttempts = 8;

// Where an open file pins its name (Windows), a finish cannot claim an upload that an append
// is writing; it waits this long for the append to end.
constexpr std::chrono::milliseconds kClaimWait{2000};

// A streamed body passes through this buffer, so memory stays the same whatever its length.
constexpr size_t kStreamBufSize = 1u << 20;
char s_stream_buf[kStreamBufSize];

// The readiness and identifier tests that follow the argument checks of the upload
// operations: 0, or -1 with the message set.
int require_upload_uuid(const char *upload_uuid) {
    if (require_ready() != 0) return -1;
    if (!uuid_valid(upload_uuid)) {
        set_error(REG_ERR_UPLOAD_INVALID, "invalid upload uuid");
        return -1;
    }
    return 0;
}

void pause_at(append_stage stage) {
    if (s_append_pause) s_append_pause(stage);
}

// Opens the upload for appending and waits for its lock. Once locked, the path must still
// name the opened file: a finish that claimed the upload meanwhile has moved it away, and
// whatever is written now would not reach its hash. 0 with the upload's size in *size, or -1
// with the message set.
int lock_upload(const char *upload_uuid, bv_platform::locked_file &file, int64_t *size) {
    char path[kPathSize];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    // Opening never creates: an upload taken away must not come back as an empty file.
    if (!file.open(path, true)) {
        set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    pause_at(append_stage::opened);
    if (!file.lock()) {
        set_error(REG_ERR_IO, "cannot lock upload");
        return -1;
    }
    if (!file.still_named_by(path)) {
        set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    pause_at(append_stage::locked);
    *size = file.size();
    if (*size < 0) {
        set_error(REG_ERR_IO, "cannot read upload size");
        return -1;
    }
    return 0;
}

// After a failed write the upload is cut back to what it held before the call, so a retry
// of the same bytes at the same offset is possible. The message is the caller's. The saved
// hash state was not touched by the call, so it covers no byte that is cut off.
void roll_back(bv_platform::locked_file &file, int64_t size) { file.truncate(size); }

// The running hash of the locked upload, brought up to its `size` bytes: true when the call
// can go on from it, false when the file cannot be read for it (the finish then reads what
// the saved state lacks).
bool resume_hash(const char *upload_uuid, bv_platform::locked_file &file, int64_t size,
                 upload_hash *state) {
    upload_hash_load(upload_uuid, state);
    return upload_hash_catch_up(file, state, size, false, s_stream_buf, kStreamBufSize) == 0;
}

}  // namespace

extern "C" int reg_blob_start_upload(char *out_upload_uuid) {
    return reg_blob_start_upload_algorithm(nullptr, out_upload_uuid);
}

extern "C" int reg_blob_start_upload_algorithm(const char *algorithm, char *out_upload_uuid) {
    if (!out_upload_uuid) {
        set_error(REG_ERR_ARGUMENT, "out_upload_uuid is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;
    digest_algorithm hashed = digest_algorithm::sha256;
    if (algorithm && !algorithm_from_name(algorithm, &hashed)) {
        set_error(REG_ERR_DIGEST_INVALID, "unsupported digest algorithm");
        return -1;
    }

    // The file is created exclusively: an upload of the same name (a clash of identifiers)
    // is never emptied, a fresh identifier is taken instead.
    char path[kPathSize];
    bool made_dir = false;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (uuid_make(out_upload_uuid) != 0) {
            set_error(REG_ERR_IO, "no random source for upload identifiers");
            return -1;
        }
        upload_path_for_uuid(out_upload_uuid, path, sizeof path);
        errno = 0;
        if (std::FILE *f = bv_platform::open_exclusive(path)) {
            std::fclose(f);
            // Never another upload's state or owner.
            upload_hash_drop(out_upload_uuid);
            upload_owner_drop(out_upload_uuid);
            // No state reads as SHA-256 from the first byte; any other algorithm is written
            // down. Should that write fail, the finish hashes the file itself.
            if (hashed != digest_algorithm::sha256) {
                upload_hash state;
                state.reset(hashed);
                upload_hash_save(out_upload_uuid, state);
            }
            return 0;
        }
        s_write_errno = errno;
        // A tree opened without its uploads folder gets it now, one level only: below a root
        // that went away meanwhile nothing is made.
        if (errno == ENOENT && !made_dir) {
            made_dir = true;
            char dir[kPathSize];
            uploads_dir(dir, sizeof dir);
            const int err = bv_platform::make_dir(dir);
            if (err == 0 || err == EEXIST) continue;
            s_write_errno = err;
        }
        if (s_write_errno != EEXIST) break;
    }
    set_write_error("cannot create upload file");
    return -1;
}

extern "C" int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len) {
    if (!upload_uuid || !data) {
        set_error(REG_ERR_ARGUMENT, "upload_uuid/data is NULL");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    bv_platform::locked_file file;
    int64_t size = 0;
    if (lock_upload(upload_uuid, file, &size) != 0) return -1;
    upload_hash state;
    const bool hashing = resume_hash(upload_uuid, file, size, &state);
    if (append_locked(file, size, data, len) != 0) {
        roll_back(file, size);
        set_write_error("write error appending chunk");
        return -1;
    }
    if (hashing) {
        state.add(data, len);
        upload_hash_save(upload_uuid, state);
    }
    return 0;
}

extern "C" int64_t reg_blob_upload_size(const char *upload_uuid) {
    if (!upload_uuid) {
        set_error(REG_ERR_ARGUMENT, "upload_uuid is NULL");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    char path[kPathSize];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    // A snapshot without the lock: a status query must not wait for a long append.
    const int64_t size = file_exists(path) ? file_size(path) : -1;
    if (size < 0) {
        set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    return size;
}

extern "C" int reg_blob_append_stream(const char *upload_uuid, reg_read_fn read, void *ctx,
                                      int64_t len, int64_t expected_offset, int64_t *out_size) {
    // Unknown until the upload is found; then its size, whatever happens.
    if (out_size) *out_size = -1;
    if (!upload_uuid || !read) {
        set_error(REG_ERR_ARGUMENT, "upload_uuid/read is NULL");
        return -1;
    }
    if (len < -1) {
        set_error(REG_ERR_ARGUMENT, "invalid body length");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    bv_platform::locked_file file;
    int64_t size = 0;
    if (lock_upload(upload_uuid, file, &size) != 0) return -1;
    if (out_size) *out_size = size;
    if (expected_offset >= 0 && expected_offset != size) {
        set_error(REG_ERR_RANGE, "offset %lld does not match the upload size %lld",
                  static_cast<long long>(expected_offset), static_cast<long long>(size));
        return -1;
    }

    // Bytes gather in the buffer until it is full or the body ends, then go to the file in
    // one write; the lock is held throughout, so the body lands whole and in one place. Each
    // piece is hashed once written, while it is still in memory.
    upload_hash state;
    const bool hashing = resume_hash(upload_uuid, file, size, &state);
    int64_t total = 0;
    bool ended = false;
    while (!ended && (len < 0 || total < len)) {
        size_t fill = 0;
        while (fill < kStreamBufSize) {
            size_t want = kStreamBufSize - fill;
            if (len >= 0) {
                const int64_t left = len - total - static_cast<int64_t>(fill);
                if (left <= 0) break;
                if (static_cast<uint64_t>(left) < want) want = static_cast<size_t>(left);
            }
            const long got = read(ctx, s_stream_buf + fill, want);
            if (got < 0 || static_cast<unsigned long>(got) > want) {
                roll_back(file, size);
                set_error(REG_ERR_IO, "error reading the request body");
                return -1;
            }
            if (got == 0) {
                ended = true;
                break;
            }
            fill += static_cast<size_t>(got);
        }
        if (fill > 0 && append_locked(file, size + total, s_stream_buf, fill) != 0) {
            roll_back(file, size);
            set_write_error("write error appending chunk");
            return -1;
        }
        if (hashing) state.add(s_stream_buf, fill);
        total += static_cast<int64_t>(fill);
    }
    if (len >= 0 && total < len) {
        roll_back(file, size);
        set_error(REG_ERR_INCOMPLETE, "request body ended after %lld of %lld bytes",
                  static_cast<long long>(total), static_cast<long long>(len));
        return -1;
    }
    if (hashing && total > 0) upload_hash_save(upload_uuid, state);
    if (out_size) *out_size = size + total;
    return 0;
}

namespace {

// Takes the upload away from its name so that no append can start on it: 0, or -1 with the
// message set. Where open files pin their names, an append in progress makes the move fail
// for as long as it lasts, so the claim waits for it, within bounds.
int claim_upload(const char *upload_uuid, const char *upload_path, const char *claim_path) {
    using namespace std::chrono;
    const auto give_up = steady_clock::now() + kClaimWait;
    auto wait = milliseconds(1);
    for (;;) {
        if (bv_platform::move_no_replace(upload_path, claim_path) == 0) return 0;
        s_write_errno = errno;
        if (!file_exists(upload_path)) {
            set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
            return -1;
        }
        if (!bv_platform::readers_block_replace) break;
        if (steady_clock::now() >= give_up) {
            set_error(REG_ERR_CONFLICT, "upload busy: %s", upload_uuid);
            return -1;
        }
        std::this_thread::sleep_for(wait);
        wait = std::min(wait * 2, milliseconds(50));
    }
    set_write_error("cannot claim upload: %s", upload_uuid);
    return -1;
}

// Hashes the claimed file under its lock with `algorithm` into the digest string `computed`,
// going on from the appends' saved state unless `from_scratch` or the state is of another
// algorithm. An append that opened the upload before the claim holds that lock until its bytes
// and its state are written, so they are all in the hash; one that locks later finds the
// upload's name gone and writes nothing. *used_state tells whether a saved state stood for any
// of the bytes. 0 or -1.
int hash_claimed(const char *upload_uuid, const char *claim_path, digest_algorithm algorithm,
                 bool from_scratch, char (&computed)[kDigestSize], bool *used_state) {
    bv_platform::locked_file file;
    if (!file.open(claim_path, false) || !file.lock()) return -1;
    const int64_t size = file.size();
    if (size < 0) return -1;
    upload_hash state;
    if (!from_scratch) upload_hash_load(upload_uuid, &state);
    if (from_scratch || state.algorithm != algorithm) state.reset(algorithm);
    *used_state = state.covered > 0 && state.covered <= size;
    if (upload_hash_catch_up(file, &state, size, true, s_stream_buf, kStreamBufSize) != 0)
        return -1;
    state.finish(computed);
    return 0;
}

// The claimed file's bytes reach the disk before its rename into the store makes them a
// blob: 0, or -1 with the message set.
int flush_claimed(const char *claim_path) {
    if (!durable()) return 0;
    bv_platform::locked_file file;
    // Opened for appending: a file opened for reading only may not be flushed everywhere.
    const bool opened = file.open(claim_path, true);
    if (!opened) s_write_errno = errno;
    if (!opened || sync_locked(file, claim_path) != 0) {
        set_write_error("flushing the upload failed");
        return -1;
    }
    return 0;
}

// Moves the claimed file into the store (or drops it when the blob is there already): 0, or
// -1 with the message set and the claimed file still in place.
int store_claimed(const char *claim_path, const char *digest) {
    char blob_path[kPathSize];
    blob_path_for_digest(digest, blob_path, sizeof blob_path);
    // Stored already: the blob stays as it is and this copy of its bytes goes, once the blob
    // is claimed anew. A blob a collection has parked meanwhile is not under its name any
    // more; this copy then takes its place.
    if (claim_file(blob_path) == 0) {
        drop_file(claim_path);
        return 0;
    }
    if (flush_claimed(claim_path) != 0) return -1;
    char fanout[kPathSize];
    blob_fanout_dir(digest + kAlgorithmPrefixLen, fanout, sizeof fanout);
    for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
        if (mkdirs(fanout) != 0) {
            set_write_error("mkdirs blob dir failed");
            return -1;
        }
        if (bv_platform::move_no_replace(claim_path, blob_path) == 0) {
            // A delete that took the blob since is ordered after this finish: done as well.
            if (sync_dir(fanout) == 0 || !file_exists(blob_path)) return 0;
            set_write_error("flushing the blob directory failed: %s", digest);
            return -1;
        }
        s_write_errno = errno;
        if (claim_file(blob_path) == 0) {
            // Another process stored the same bytes since the test above. The blob is in
            // place, so this finish has done its job as well.
            drop_file(claim_path);
            return 0;
        }
    }
    set_write_error("rename to CAS failed: %s", digest);
    return -1;
}

}  // namespace

extern "C" int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                                      char *out_digest) {
    if (!upload_uuid || !expected_digest || !out_digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    if (!digest_valid(expected_digest)) {
        set_error(REG_ERR_DIGEST_INVALID, "invalid expected digest");
        return -1;
    }
    char upload_path[kPathSize];
    char claim_path[kPathSize];
    upload_path_for_uuid(upload_uuid, upload_path, sizeof upload_path);
    upload_claim_path(upload_uuid, claim_path, sizeof claim_path);
    if (claim_upload(upload_uuid, upload_path, claim_path) != 0) return -1;

    // From here on every failure but a mismatch gives the upload back under its name, as it
    // was, to be finished again or cancelled.
    const digest_algorithm algorithm = algorithm_of_digest(expected_digest);
    char computed[kDigestSize];
    bool used_state = false;
    for (bool from_scratch = false;; from_scratch = true) {
        if (hash_claimed(upload_uuid, claim_path, algorithm, from_scratch, computed,
                         &used_state) != 0) {
            bv_platform::move_no_replace(claim_path, upload_path);
            set_error(REG_ERR_IO, "hashing upload failed");
            return -1;
        }
        // A mismatch costs the client its upload, so it is never the word of a saved state
        // alone: the bytes themselves are hashed once more before it is believed.
        if (std::strcmp(computed, expected_digest) == 0 || !used_state || from_scratch) break;
    }
    if (std::strcmp(computed, expected_digest) != 0) {
        drop_file(claim_path);
        upload_hash_drop(upload_uuid);
        upload_owner_drop(upload_uuid);
        set_error(REG_ERR_DIGEST_MISMATCH, "digest mismatch: expected %s, got %s",
                  expected_digest, computed);
        return -1;
    }
    if (store_claimed(claim_path, expected_digest) != 0) {
        bv_platform::move_no_replace(claim_path, upload_path);
        return -1;
    }
    upload_hash_drop(upload_uuid);
    upload_owner_drop(upload_uuid);
    std::snprintf(out_digest, kDigestSize, "%s", expected_digest);
    return 0;
}

namespace reg_internal {

int cancel_upload(const char *upload_uuid, bool gone_is_done) {
    char upload_path[kPathSize];
    char claim_path[kPathSize];
    upload_path_for_uuid(upload_uuid, upload_path, sizeof upload_path);
    upload_claim_path(upload_uuid, claim_path, sizeof claim_path);
    if (claim_upload(upload_uuid, upload_path, claim_path) != 0) {
        const reg_error_kind kind = s_error_kind;
        if (kind == REG_ERR_NOT_FOUND) return gone_is_done ? 0 : -1;
        set_error(kind, "cancel failed");
        return -1;
    }

    // An append that found the upload in place before the claim holds the lock until its
    // bytes and its hash state are written: taking the lock waits for it, so the removal
    // comes after all of them. One that locks later finds the name gone and writes nothing.
    // The lock goes before the removal, as an open file may not be removed everywhere.
    bool waited = false;
    {
        bv_platform::locked_file file;
        waited = file.open(claim_path, false) && file.lock();
    }
    const int removed = waited ? remove_file(claim_path) : -1;
    if (file_exists(claim_path)) {
        // Given back under its name, as it was, to be cancelled again.
        bv_platform::move_no_replace(claim_path, upload_path);
        set_write_error("cancel failed");
        return -1;
    }
    // Gone, even where the flush of its removal failed: what belonged to it goes as well.
    upload_hash_drop(upload_uuid);
    upload_owner_drop(upload_uuid);
    if (removed != 0) {
        set_write_error("cancel failed");
        return -1;
    }
    return 0;
}

}  // namespace reg_internal

extern "C" int reg_blob_cancel_upload(const char *upload_uuid) {
    if (!upload_uuid) {
        set_error(REG_ERR_ARGUMENT, "upload_uuid is NULL");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    return cancel_upload(upload_uuid, true);
}
