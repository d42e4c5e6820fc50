// An upload's running hash: the SHA-256 or SHA-512 state of its bytes so far, kept beside the
// upload in {uuid}.hash so that each append (a process of its own) goes on from the last one
// and a finish hashes only what no append has. A state is a help, never a truth: one that is
// missing, torn, of another algorithm than the finish's digest or covering more than the file
// holds is replaced by hashing the file itself.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "crypto/sha256.h"
#include "crypto/sha512.h"
#include "platform/bv_platform_file.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// "bvhash2\n", the algorithm's byte (digest_algorithm), the exported state of that algorithm,
// then the first 8 bytes of the SHA-256 of all before: a state file cut short or filled with
// zeros by a crash never passes for a state. Files of the first form, "bvhash1\n" and a
// SHA-256 state without the algorithm's byte, are still read: uploads in flight across an
// upgrade keep their state.
constexpr char kMagic[8] = {'b', 'v', 'h', 'a', 's', 'h', '2', '\n'};
constexpr char kMagicSha256Only[8] = {'b', 'v', 'h', 'a', 's', 'h', '1', '\n'};
constexpr size_t kCheckLen = 8;
constexpr size_t kMaxStateFileSize = sizeof kMagic + 1 + SHA512_STATE_SIZE + kCheckLen;

size_t exported_size(digest_algorithm algorithm) {
    return algorithm == digest_algorithm::sha512 ? SHA512_STATE_SIZE : SHA256_STATE_SIZE;
}

void check_of(const uint8_t *data, size_t len, uint8_t out[kCheckLen]) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    uint8_t sum[32];
    sha256_final(&ctx, sum);
    std::memcpy(out, sum, kCheckLen);
}

}  // namespace

void upload_hash::reset() { reset(algorithm); }

void upload_hash::reset(digest_algorithm with) {
    algorithm = with;
    if (algorithm == digest_algorithm::sha512)
        sha512_init(&ctx512);
    else
        sha256_init(&ctx);
    covered = 0;
}

void upload_hash::add(const void *data, size_t len) {
    if (algorithm == digest_algorithm::sha512)
        sha512_update(&ctx512, data, len);
    else
        sha256_update(&ctx, data, len);
    covered += static_cast<int64_t>(len);
}

void upload_hash::finish(char (&out)[kDigestSize]) {
    uint8_t sum[64];
    size_t sum_len = 32;
    if (algorithm == digest_algorithm::sha512) {
        sha512_final(&ctx512, sum);
        sum_len = 64;
    } else {
        sha256_final(&ctx, sum);
    }
    char hex[kHexSize];
    bin_to_hex(sum, sum_len, hex);
    std::snprintf(out, sizeof out, "%s:%s", algorithm_name(algorithm), hex);
}

void upload_hash_load(const char *upload_uuid, upload_hash *out) {
    out->reset(digest_algorithm::sha256);
    char path[kPathSize];
    upload_hash_path(upload_uuid, path, sizeof path);
    char text[kMaxStateFileSize + 2];
    size_t len = 0;
    if (read_file(path, text, sizeof text, &len) != 0 || len < sizeof kMagic + 1) return;
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    digest_algorithm algorithm = digest_algorithm::sha256;
    size_t at = sizeof kMagic;  // where the exported state starts
    if (std::memcmp(bytes, kMagic, sizeof kMagic) == 0) {
        if (bytes[at] > static_cast<uint8_t>(digest_algorithm::sha512)) return;
        algorithm = static_cast<digest_algorithm>(bytes[at]);
        ++at;
    } else if (std::memcmp(bytes, kMagicSha256Only, sizeof kMagicSha256Only) != 0) {
        return;
    }
    const size_t state_size = exported_size(algorithm);
    if (len != at + state_size + kCheckLen) return;
    uint8_t check[kCheckLen];
    check_of(bytes, at + state_size, check);
    if (std::memcmp(check, bytes + at + state_size, kCheckLen) != 0) return;
    uint64_t bitlen = 0;
    if (algorithm == digest_algorithm::sha512) {
        sha512_ctx ctx;
        if (sha512_import(&ctx, bytes + at) != 0) return;
        out->ctx512 = ctx;
        bitlen = ctx.bitlen;
    } else {
        sha256_ctx ctx;
        if (sha256_import(&ctx, bytes + at) != 0) return;
        out->ctx = ctx;
        bitlen = ctx.bitlen;
    }
    if (bitlen / 8 > static_cast<uint64_t>(INT64_MAX)) {
        out->reset(digest_algorithm::sha256);
        return;
    }
    out->algorithm = algorithm;
    out->covered = static_cast<int64_t>(bitlen / 8);
}

int upload_hash_save(const char *upload_uuid, const upload_hash &state) {
    uint8_t bytes[kMaxStateFileSize];
    std::memcpy(bytes, kMagic, sizeof kMagic);
    size_t len = sizeof kMagic;
    bytes[len++] = static_cast<uint8_t>(state.algorithm);
    if (state.algorithm == digest_algorithm::sha512)
        sha512_export(&state.ctx512, bytes + len);
    else
        sha256_export(&state.ctx, bytes + len);
    len += exported_size(state.algorithm);
    check_of(bytes, len, bytes + len);
    len += kCheckLen;
    char path[kPathSize];
    upload_hash_path(upload_uuid, path, sizeof path);
    // Losing it costs a re-read at the finish, never a wrong digest: no flush.
    return write_file_unsynced(path, bytes, len);
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
