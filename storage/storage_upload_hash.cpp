// An upload's running hash: the SHA-256 state of its bytes so far, kept beside the upload in
// {uuid}.hash so that each append (a process of its own) goes on from the last one and a
// finish hashes only what no append has. A state is a help, never a truth: one that is
// missing, torn or covering more than the file holds is replaced by hashing the file itself.
#include <cstdint>
#include <cstring>

#include "crypto/sha256.h"
#include "platform/bv_platform_file.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// "bvhash1\n", the exported state, then the first 8 bytes of the SHA-256 of both: a state
// file cut short or filled with zeros by a crash never passes for a state.
constexpr char kMagic[8] = {'b', 'v', 'h', 'a', 's', 'h', '1', '\n'};
constexpr size_t kCheckLen = 8;
constexpr size_t kStateFileSize = sizeof kMagic + SHA256_STATE_SIZE + kCheckLen;

void check_of(const uint8_t *data, size_t len, uint8_t out[kCheckLen]) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    uint8_t sum[32];
    sha256_final(&ctx, sum);
    std::memcpy(out, sum, kCheckLen);
}

}  // namespace

void upload_hash::reset() {
    sha256_init(&ctx);
    covered = 0;
}

void upload_hash::add(const void *data, size_t len) {
    sha256_update(&ctx, data, len);
    covered += static_cast<int64_t>(len);
}

void upload_hash_load(const char *upload_uuid, upload_hash *out) {
    out->reset();
    char path[kPathSize];
    upload_hash_path(upload_uuid, path, sizeof path);
    char text[kStateFileSize + 2];
    size_t len = 0;
    if (read_file(path, text, sizeof text, &len) != 0 || len != kStateFileSize) return;
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return;
    uint8_t check[kCheckLen];
    check_of(bytes, sizeof kMagic + SHA256_STATE_SIZE, check);
    if (std::memcmp(check, bytes + sizeof kMagic + SHA256_STATE_SIZE, kCheckLen) != 0) return;
    sha256_ctx ctx;
    if (sha256_import(&ctx, bytes + sizeof kMagic) != 0) return;
    if (ctx.bitlen / 8 > static_cast<uint64_t>(INT64_MAX)) return;
    out->ctx = ctx;
    out->covered = static_cast<int64_t>(ctx.bitlen / 8);
}

int upload_hash_save(const char *upload_uuid, const upload_hash &state) {
    uint8_t bytes[kStateFileSize];
    std::memcpy(bytes, kMagic, sizeof kMagic);
    sha256_export(&state.ctx, bytes + sizeof kMagic);
    check_of(bytes, sizeof kMagic + SHA256_STATE_SIZE, bytes + sizeof kMagic + SHA256_STATE_SIZE);
    char path[kPathSize];
    upload_hash_path(upload_uuid, path, sizeof path);
    // Losing it costs a re-read at the finish, never a wrong digest: no flush.
    return write_file_unsynced(path, bytes, sizeof bytes);
}

void upload_hash_drop(const char *upload_uuid) {
    char path[kPathSize];
    upload_hash_path(upload_uuid, path, sizeof path);
    drop_file(path);
}

int upload_hash_catch_up(bv_platform::locked_file &file, upload_hash *state, int64_t size,
                         bool to_end, void *buf, size_t cap) {
    // More than the file holds: the state belongs to bytes that are gone.
    if (state->covered > size) state->reset();
    if (!file.seek(state->covered)) return -1;
    while (state->covered < size) {
        size_t want = cap;
        if (static_cast<uint64_t>(size - state->covered) < want)
            want = static_cast<size_t>(size - state->covered);
        const long got = file.read_some(buf, want);
        if (got <= 0) return -1;
        state->add(buf, static_cast<size_t>(got));
    }
    // Under the lock a regular file ends at its size. One more read tells a file whose size
    // is not its length (or that cannot be read at all), which is then hashed as it reads.
    while (to_end) {
        const long got = file.read_some(buf, cap);
        if (got < 0) return -1;
        if (got == 0) break;
        state->add(buf, static_cast<size_t>(got));
    }
    return 0;
}

}  // namespace reg_internal
