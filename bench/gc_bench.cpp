// Garbage collection against `du -sb` over the same storage tree: a store of 100 repositories
// with 100 manifests each (a config and eight small layers apiece, half of them tagged) and
// 100,000 blobs in all, some linked but unnamed and some never linked; the collector's dry
// run and a real run are timed in interleaved rounds with `du -sb`, caches warm for both.
//
//   gc_bench STORE [ROUNDS]
//
// STORE is made on the first run and reused later. Before every real run a few unlinked blobs
// are planted, so each real run has something to remove. Exit 0; 1 when a step fails.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/support/sha256_hex.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRepos = 100;
constexpr int kManifestsPerRepo = 100;
constexpr int kLayersPerManifest = 8;
constexpr int kBlobsPerRepo = 1000;  // 900 named by manifests, 80 linked only, 20 loose
constexpr int kLinkedOnly = 80;
constexpr int kPlanted = 100;         // unlinked blobs planted before each real run
constexpr char kMarker[] = "gc-bench-v1";

[[noreturn]] void fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "gc_bench: %s %s\n", what, detail.c_str());
    std::exit(1);
}

std::string marker_path(const std::string &store) { return store + "/gc-bench-made"; }

bool store_ready(const std::string &store) {
    FILE *f = std::fopen(marker_path(store).c_str(), "r");
    if (!f) return false;
    char text[32] = {0};
    const bool ok = std::fgets(text, sizeof text, f) && std::strncmp(text, kMarker, sizeof kMarker - 1) == 0;
    std::fclose(f);
    return ok;
}

void make_dir(const std::string &dir) {
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) fail("cannot make", dir);
}

// Writes the blob file straight into its place in the content store; returns its digest.
std::string write_blob(const std::string &store, const std::string &data) {
    const std::string hex = bvtest::sha256_hex(data.data(), data.size());
    const std::string path = store + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot write", path);
    std::fwrite(data.data(), 1, data.size(), f);
    if (std::fclose(f) != 0) fail("cannot write", path);
    return "sha256:" + hex;
}

std::string blob_data(int repo, int n) {
    std::string s = "blob " + std::to_string(repo) + "/" + std::to_string(n) + " ";
    s.append(static_cast<size_t>((repo * 131 + n * 7) % 200) + 16, 'x');
    return s;
}

std::string descriptor(const char *type, const std::string &digest, size_t size) {
    return std::string("{\"mediaType\":\"") + type + "\",\"digest\":\"" + digest +
           "\",\"size\":" + std::to_string(size) + "}";
}

// Blob files go straight into the layout (the slow part through the API would be the upload
// files); links and manifests go through the engine, so their files are exactly its own.
void make_store(const std::string &store) {
    std::remove(marker_path(store).c_str());
    setenv("REGISTRY_DURABLE_WRITES", "0", 1);  // the seed need not survive a power cut
    if (reg_storage_init(store.c_str()) != 0) fail("cannot initialise", reg_storage_last_error());
    make_dir(store + "/blobs/sha256");
    for (int d = 0; d < 256; ++d) {
        char dir[16];
        std::snprintf(dir, sizeof dir, "/%02x", d);
        make_dir(store + "/blobs/sha256" + dir);
    }
    for (int r = 0; r < kRepos; ++r) {
        const std::string repo = "bench/r" + std::to_string(r);
        std::vector<std::string> digests;
        std::vector<size_t> sizes;
        for (int n = 0; n < kBlobsPerRepo; ++n) {
            const std::string data = blob_data(r, n);
            digests.push_back(write_blob(store, data));
            sizes.push_back(data.size());
            const bool loose = n >= kManifestsPerRepo * (kLayersPerManifest + 1) + kLinkedOnly;
            if (!loose && reg_blob_link(repo.c_str(), digests.back().c_str()) != 0)
                fail("cannot link", reg_storage_last_error());
        }
        for (int m = 0; m < kManifestsPerRepo; ++m) {
            const int first = m * (kLayersPerManifest + 1);
            std::string body =
                "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                "\"config\":" +
                descriptor("application/vnd.oci.image.config.v1+json", digests[first], sizes[first]) +
                ",\"layers\":[";
            // Appended piece by piece: GCC 12 in Release sees overlapping copies in the
            // temporaries of `"," + string` that are not there (-Werror=restrict).
            for (int l = 1; l <= kLayersPerManifest; ++l) {
                if (l > 1) body += ',';
                body += descriptor("application/vnd.oci.image.layer.v1.tar", digests[first + l], sizes[first + l]);
            }
            body += "]}";
            std::string ref = "v";
            if (m % 2 == 0) {
                ref += std::to_string(m);
            } else {
                ref = "sha256:";
                ref += bvtest::sha256_hex(body.data(), body.size());
            }
            char digest[REG_DIGEST_SIZE];
            if (reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, digest) != 0)
                fail("cannot put manifest", reg_storage_last_error());
        }
    }
    reg_storage_cleanup();
    FILE *f = std::fopen(marker_path(store).c_str(), "w");
    if (!f) fail("cannot write", marker_path(store));
    std::fprintf(f, "%s\n", kMarker);
    std::fclose(f);
}

void plant_garbage(const std::string &store, int round) {
    for (int i = 0; i < kPlanted; ++i) write_blob(store, "planted " + std::to_string(round) + " " + std::to_string(i));
}

double time_gc(bool dry_run, reg_gc_result *res) {
    reg_gc_options opts{};
    opts.grace_blobs = 0;
    opts.grace_uploads = 0;
    opts.dry_run = dry_run;
    const auto start = Clock::now();
    const int rc = reg_gc_run(&opts, res);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != 0) fail("collection failed:", reg_storage_last_error());
    return seconds;
}

double time_du(const std::string &dir, posix_spawn_file_actions_t *actions) {
    char *argv[] = {const_cast<char *>("du"), const_cast<char *>("-sb"),
                    const_cast<char *>(dir.c_str()), nullptr};
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "du", actions, nullptr, argv, environ) != 0) fail("cannot start", "du");
    int status;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("failed:", "du -sb " + dir);
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: gc_bench STORE [ROUNDS]\n"
                             "Times garbage collection (dry and real) against du -sb over STORE\n"
                             "(made on the first run: 100 repositories, 10,000 manifests,\n"
                             "100,000 blobs). ROUNDS default 7.\n");
        return argc < 2 ? 2 : 0;
    }
    const std::string store = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    if (rounds < 1) fail("ROUNDS must be positive", "");
    if (!store_ready(store)) {
        const auto start = Clock::now();
        make_store(store);
        std::printf("store made in %.1f s\n", std::chrono::duration<double>(Clock::now() - start).count());
    }
    if (reg_storage_init(store.c_str()) != 0) fail("cannot initialise", reg_storage_last_error());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    // The first real run takes the seeded garbage; after it each real run removes the few
    // planted blobs. Both walks run once untimed to warm the caches.
    reg_gc_result first{};
    const double first_time = time_gc(false, &first);
    std::printf("first run removed %lld blobs, %lld links in %.1f ms\n",
                static_cast<long long>(first.blobs), static_cast<long long>(first.links),
                1e3 * first_time);
    time_du(store, &actions);
    std::vector<double> dry, real, du, dry_ratio, real_ratio;
    reg_gc_result res{};
    for (int i = 0; i < rounds; ++i) {
        dry.push_back(time_gc(true, &res));
        plant_garbage(store, i);
        real.push_back(time_gc(false, &res));
        if (res.blobs != kPlanted) fail("real run removed a wrong count:", std::to_string(res.blobs));
        du.push_back(time_du(store, &actions));
        dry_ratio.push_back(dry.back() / du.back());
        real_ratio.push_back(real.back() / du.back());
    }
    posix_spawn_file_actions_destroy(&actions);

    std::printf("repositories: %d, manifests: %d, blobs: %d, rounds: %d\n", kRepos,
                kRepos * kManifestsPerRepo, kRepos * kBlobsPerRepo, rounds);
    std::printf("%-12s median %.1f ms\n", "gc --dry-run", 1e3 * median(dry));
    std::printf("%-12s median %.1f ms\n", "gc", 1e3 * median(real));
    std::printf("%-12s median %.1f ms\n", "du -sb", 1e3 * median(du));
    std::printf("ratio dry run / du (median of rounds): %.2f (target at most 3)\n", median(dry_ratio));
    std::printf("ratio real run / du (median of rounds): %.2f (target at most 3)\n", median(real_ratio));
    return 0;
}
