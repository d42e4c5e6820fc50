// Blob-store workloads for the multi-process tests: several copies of this program run against
// one storage root at once. Usage: blob_probe ROOT COMMAND ARGS...
//   same SYNC_DIR ID NPROC ROUNDS  upload content of round r, wait at a file barrier for all
//                                  NPROC processes, then finish; one content per round
//   many SEED COUNT                upload COUNT different blobs; print "blob DIGEST" for each
//   churn SEED COUNT               upload and delete COUNT blobs of the fan-out directory "00"
//   append UUID OFFSET TEXT SYNC PAUSE NPROC ID
//                                  stream TEXT into the upload at OFFSET (-1: anywhere); when
//                                  NPROC > 0 first wait at a barrier for NPROC processes; PAUSE
//                                  "opened" or "locked" stops the append there, after creating
//                                  SYNC/paused, until SYNC/go exists ("none": no stop). Prints
//                                  "ok SIZE" or "fail KIND SIZE" (kind and out_size as numbers)
//   stream UUID MIB CEILING_MIB    stream MIB MiB of pattern bytes into the upload with the
//                                  address space capped at CEILING_MIB (where it can be capped)
//                                  and print "ok SIZE", "fail ..." or "unsupported"
// Exit status 0 when every operation succeeded, else 1 with "fail: ..." on standard output.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "blob_pattern.h"
#include "crypto/sha256.h"
#include "platform/bv_platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/support/sha256_hex.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;

using blob_pattern::make;

std::string digest_of(const std::string &data) { return "sha256:" + bvtest::sha256_hex(data); }

int fail(const std::string &what) {
    std::printf("fail: %s: %s\n", what.c_str(), reg_storage_last_error());
    std::fflush(stdout);
    return 1;
}

// Start an upload and append `data` in three uneven chunks.
bool upload(const std::string &data, char (&uuid)[37]) {
    if (reg_blob_start_upload(uuid) != 0) return false;
    const size_t cut1 = data.size() / 3, cut2 = data.size() - data.size() / 5;
    return reg_blob_append_chunk(uuid, data.data(), cut1) == 0 &&
           reg_blob_append_chunk(uuid, data.data() + cut1, cut2 - cut1) == 0 &&
           reg_blob_append_chunk(uuid, data.data() + cut2, data.size() - cut2) == 0;
}

// Every process marks its arrival with a file and waits for the others' files; a process that
// fails leaves the file "abort", so that the others stop waiting for it.
bool barrier(const fs::path &dir, int round, int id, int nproc) {
    char prefix[32], mine[64];
    std::snprintf(prefix, sizeof prefix, "r%d-", round);
    std::snprintf(mine, sizeof mine, "%s%d", prefix, id);
    std::FILE *f = std::fopen((dir / mine).string().c_str(), "wb");
    if (!f) return false;
    std::fclose(f);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        int seen = 0;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(dir, ec))
            if (e.path().filename().string().rfind(prefix, 0) == 0) ++seen;
        if (seen >= nproc) return true;
        if (fs::exists(dir / "abort", ec)) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

int run_same(const fs::path &sync_dir, int id, int nproc, int rounds) {
    for (int r = 0; r < rounds; ++r) {
        const std::string data = blob_pattern::round_content(r);
        const std::string digest = digest_of(data);
        char uuid[37];
        char out[REG_DIGEST_SIZE];
        std::string failed;
        if (!upload(data, uuid)) failed = "upload";
        else if (!barrier(sync_dir, r, id, nproc)) failed = "barrier";
        else if (reg_blob_finish_upload(uuid, digest.c_str(), out) != 0 || digest != out)
            failed = "finish";
        if (!failed.empty()) {
            if (std::FILE *f = std::fopen((sync_dir / "abort").string().c_str(), "wb"))
                std::fclose(f);
            return fail(failed + " round " + std::to_string(r));
        }
    }
    std::printf("ok\n");
    return 0;
}

int run_many(uint32_t seed, int count) {
    for (int i = 0; i < count; ++i) {
        const uint32_t s = seed * 100003u + static_cast<uint32_t>(i);
        const std::string data = make(s, (s * 7919u) % 70000);
        const std::string digest = digest_of(data);
        char uuid[37];
        char out[REG_DIGEST_SIZE];
        if (!upload(data, uuid) || reg_blob_finish_upload(uuid, digest.c_str(), out) != 0)
            return fail("blob " + std::to_string(i));
        std::printf("blob %s\n", out);
    }
    return 0;
}

// Contents whose digests all begin with "00", so that the processes keep creating and
// removing one shared fan-out directory.
int run_churn(uint32_t seed, int count) {
    uint32_t s = seed * 1000003u;
    for (int i = 0; i < count; ++i) {
        std::string data, digest;
        do {
            data = make(s++, 64);
            digest = digest_of(data);
        } while (digest.compare(7, 2, "00") != 0);
        char uuid[37];
        char out[REG_DIGEST_SIZE];
        if (!upload(data, uuid) || reg_blob_finish_upload(uuid, digest.c_str(), out) != 0)
            return fail("churn finish " + std::to_string(i));
        if (reg_blob_delete(digest.c_str()) != 0) return fail("churn delete " + std::to_string(i));
    }
    std::printf("ok\n");
    return 0;
}

// Waits for `path` to exist, for at most two minutes.
bool wait_for(const fs::path &path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::error_code ec;
    while (!fs::exists(path, ec)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

fs::path s_sync_dir;
reg_internal::append_stage s_pause_stage;

void pause_here(reg_internal::append_stage stage) {
    if (stage != s_pause_stage) return;
    if (std::FILE *f = std::fopen((s_sync_dir / "paused").string().c_str(), "wb")) std::fclose(f);
    wait_for(s_sync_dir / "go");
}

struct text_body {
    const std::string *text;
    size_t pos;
};

long read_text(void *ctx, void *buf, size_t cap) {
    auto *b = static_cast<text_body *>(ctx);
    const size_t n = std::min(cap, b->text->size() - b->pos);
    std::memcpy(buf, b->text->data() + b->pos, n);
    b->pos += n;
    return static_cast<long>(n);
}

int run_append(const char *uuid, long long offset, const std::string &text,
               const fs::path &sync_dir, const std::string &pause, int nproc, int id) {
    s_sync_dir = sync_dir;
    if (pause == "opened" || pause == "locked") {
        s_pause_stage = pause == "opened" ? reg_internal::append_stage::opened
                                          : reg_internal::append_stage::locked;
        reg_internal::s_append_pause = pause_here;
    }
    if (nproc > 0 && !barrier(sync_dir, 0, id, nproc)) return fail("barrier");
    text_body body{&text, 0};
    int64_t size = -1;
    const int rc = reg_blob_append_stream(uuid, read_text, &body,
                                          static_cast<int64_t>(text.size()), offset, &size);
    if (rc == 0) std::printf("ok %lld\n", static_cast<long long>(size));
    else std::printf("fail %d %lld\n", static_cast<int>(reg_storage_last_error_kind()),
                     static_cast<long long>(size));
    return 0;
}

// Pattern bytes made as they are read, so that the probe itself holds no body.
[[maybe_unused]] long read_pattern(void *ctx, void *buf, size_t cap) {
    auto *left = static_cast<int64_t *>(ctx);
    const size_t n = static_cast<size_t>(std::min<int64_t>(*left, static_cast<int64_t>(cap)));
    auto *p = static_cast<unsigned char *>(buf);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>((*left - i) * 131u);
    *left -= static_cast<int64_t>(n);
    return static_cast<long>(n);
}

#if defined(__SANITIZE_ADDRESS__)
#define BV_PROBE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BV_PROBE_SANITIZED 1
#endif
#endif

int run_stream(const char *uuid, long mib, long ceiling_mib) {
#if defined(_WIN32) || defined(BV_PROBE_SANITIZED)
    // No address-space cap here (Windows), or the sanitizer reserves far more than any cap.
    (void)uuid, (void)mib, (void)ceiling_mib;
    std::printf("unsupported\n");
    return 0;
#else
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(ceiling_mib) << 20;
    if (setrlimit(RLIMIT_AS, &lim) != 0) return fail("setrlimit");
    int64_t left = static_cast<int64_t>(mib) << 20;
    int64_t size = -1;
    if (reg_blob_append_stream(uuid, read_pattern, &left, -1, 0, &size) != 0)
        return fail("stream");
    std::printf("ok %lld\n", static_cast<long long>(size));
    return 0;
#endif
}

}  // namespace

int main(int argc, char **argv) {
    bv_platform::set_binary(stdout);  // the tests compare the report byte for byte
    if (argc < 3) {
        std::fprintf(stderr, "usage: blob_probe ROOT COMMAND ARGS...\n");
        return 2;
    }
    if (reg_storage_init(argv[1]) != 0) return fail("init");
    const std::string cmd = argv[2];
    if (cmd == "same" && argc == 7)
        return run_same(argv[3], std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
    if (cmd == "many" && argc == 5)
        return run_many(static_cast<uint32_t>(std::atoi(argv[3])), std::atoi(argv[4]));
    if (cmd == "churn" && argc == 5)
        return run_churn(static_cast<uint32_t>(std::atoi(argv[3])), std::atoi(argv[4]));
    if (cmd == "append" && argc == 10)
        return run_append(argv[3], std::atoll(argv[4]), argv[5], argv[6], argv[7],
                          std::atoi(argv[8]), std::atoi(argv[9]));
    if (cmd == "stream" && argc == 6)
        return run_stream(argv[3], std::atol(argv[4]), std::atol(argv[5]));
    std::fprintf(stderr, "blob_probe: bad command\n");
    return 2;
}
