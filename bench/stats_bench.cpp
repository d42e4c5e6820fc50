// The storage statistics walk against `du -sb` over the same blob directory: a store of many
// small blobs spread over the 256 fan-out directories, both timed in interleaved rounds, and
// the ratio of their times printed.
//
//   stats_bench STORE [BLOBS] [ROUNDS]
//
// STORE is made on the first run (BLOBS files, default 100000) and reused while it holds the
// same number of blobs. Exit status 0; 1 when the store cannot be made or a run fails.
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

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "stats_bench: %s %s\n", what, detail.c_str());
    std::exit(1);
}

// The blob count the store was made with, kept beside the tree so a rerun can reuse it.
std::string marker_path(const std::string &store) { return store + "/bench-blobs"; }

bool store_ready(const std::string &store, long blobs) {
    FILE *f = std::fopen(marker_path(store).c_str(), "r");
    if (!f) return false;
    long made = -1;
    const bool ok = std::fscanf(f, "%ld", &made) == 1 && made == blobs;
    std::fclose(f);
    return ok;
}

// Blob i lives in fan-out directory i % 256 under a 64-digit name; sizes run from 1 to 256
// bytes so that the byte total is not trivial.
void make_store(const std::string &store, long blobs) {
    std::remove(marker_path(store).c_str());
    if (reg_storage_init(store.c_str()) != 0) fail("cannot initialise", reg_storage_last_error());
    char data[256];
    std::memset(data, 'b', sizeof data);
    for (int d = 0; d < 256; ++d) {
        char dir[4096];
        std::snprintf(dir, sizeof dir, "%s/blobs/sha256/%02x", store.c_str(), d);
        if (mkdir(dir, 0777) != 0 && errno != EEXIST) fail("cannot make", dir);
    }
    for (long i = 0; i < blobs; ++i) {
        const int d = static_cast<int>(i % 256);
        char path[4096];
        std::snprintf(path, sizeof path, "%s/blobs/sha256/%02x/%02x%062lx", store.c_str(), d, d,
                      static_cast<unsigned long>(i));
        FILE *f = std::fopen(path, "wb");
        if (!f) fail("cannot write", path);
        std::fwrite(data, 1, static_cast<size_t>(i % 256) + 1, f);
        if (std::fclose(f) != 0) fail("cannot write", path);
    }
    FILE *f = std::fopen(marker_path(store).c_str(), "w");
    if (!f) fail("cannot write", marker_path(store));
    std::fprintf(f, "%ld\n", blobs);
    std::fclose(f);
}

double time_stats() {
    const auto start = Clock::now();
    const char *doc = reg_storage_get_stats_json();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!doc) fail("statistics failed:", reg_storage_last_error());
    return seconds;
}

double time_du(const std::string &blob_dir, posix_spawn_file_actions_t *actions) {
    char *argv[] = {const_cast<char *>("du"), const_cast<char *>("-sb"),
                    const_cast<char *>(blob_dir.c_str()), nullptr};
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "du", actions, nullptr, argv, environ) != 0) fail("cannot start", "du");
    int status;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("failed:", "du -sb " + blob_dir);
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: stats_bench STORE [BLOBS] [ROUNDS]\n"
                             "Times the storage statistics against du -sb over STORE's blob\n"
                             "directory (BLOBS default 100000, ROUNDS default 15).\n");
        return argc < 2 ? 2 : 0;
    }
    const std::string store = argv[1];
    const long blobs = argc > 2 ? std::atol(argv[2]) : 100000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 15;
    if (blobs < 1 || blobs > 256L * 512 || rounds < 1) {
        std::fprintf(stderr, "stats_bench: BLOBS must be 1 to 131072 and ROUNDS positive\n");
        return 2;
    }
    if (!store_ready(store, blobs)) make_store(store, blobs);
    if (reg_storage_init(store.c_str()) != 0) fail("cannot initialise", reg_storage_last_error());
    const std::string blob_dir = store + "/blobs/sha256";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    // Warm the directory and inode caches for both before timing.
    time_stats();
    time_du(blob_dir, &actions);
    std::vector<double> stats_times;
    std::vector<double> du_times;
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i) {
        stats_times.push_back(time_stats());
        du_times.push_back(time_du(blob_dir, &actions));
        ratios.push_back(stats_times.back() / du_times.back());
    }
    posix_spawn_file_actions_destroy(&actions);

    std::printf("%s\n", reg_storage_get_stats_json());
    std::printf("blobs: %ld, rounds: %d\n", blobs, rounds);
    std::printf("%-10s median %.2f ms\n", "stats", 1e3 * median(stats_times));
    std::printf("%-10s median %.2f ms\n", "du -sb", 1e3 * median(du_times));
    std::printf("ratio (median of rounds): %.3f (target at most 1.5)\n", median(ratios));
    return 0;
}
