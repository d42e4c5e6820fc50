// Cost of the blob store's two bulk paths, each side by side with its floor: finishing an
// upload against hashing the same file with sha256_file alone, and appending it in chunks
// against `dd bs=8M conv=notrunc oflag=append` into a file in the same directory.
//
//   blob_bench DIR [MIB] [RUNS] [CHUNK_MIB]   (defaults: 1024 MiB, 5 runs, 8 MiB chunks)
//
// DIR holds the storage root and dd's file; it is emptied of both before and after. Every
// timed step starts from a synced disk and a page-cached file where one is read; the pairs
// alternate their order from run to run and the best run of each counts, since the machine
// may be shared. CPU times are printed beside the wall-clock times. Exit status 0; 1 when a
// step fails.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "storage/reg_storage.h"
#include "tests/support/sha256_hex.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "blob_bench: %s (%s)\n", what.c_str(), reg_storage_last_error());
    std::exit(1);
}

// CPU seconds (user + system) used so far by this process or by its waited-for children.
double cpu_seconds(int who) {
    rusage ru{};
    getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// One timed step: wall-clock time, and the CPU time of the side that did the work, which
// other load on the machine disturbs less (waiting for a core is not counted).
class Timer {
public:
    explicit Timer(int who) : who_(who), wall0_(Clock::now()), cpu0_(cpu_seconds(who)) {}
    double wall() const { return std::chrono::duration<double>(Clock::now() - wall0_).count(); }
    double cpu() const { return cpu_seconds(who_) - cpu0_; }

private:
    int who_;
    Clock::time_point wall0_;
    double cpu0_;
};

struct Best {
    double best = 1e30;
    double best_cpu = 1e30;
    std::vector<double> all;
    void add(const Timer &t) {
        const double w = t.wall(), c = t.cpu();
        best = std::min(best, w);
        best_cpu = std::min(best_cpu, c);
        all.push_back(w);
    }
};

std::string hex_of(const uint8_t (&sum)[32]) { return bvtest::hex_of_sum(sum); }

// Appends `mib` MiB from `chunk` to upload `uuid`, one append call per chunk.
void append_all(const char *uuid, const std::vector<char> &chunk, long mib) {
    const long chunks = mib * 1024 * 1024 / static_cast<long>(chunk.size());
    for (long i = 0; i < chunks; ++i)
        if (reg_blob_append_chunk(uuid, chunk.data(), chunk.size()) != 0) fail("append");
}

std::string upload_path(const fs::path &store, const char *uuid) {
    return (store / "uploads" / (std::string(uuid) + ".part")).string();
}

int run_dd(const std::string &target, long chunk_mib, long count) {
    const std::string of = "of=" + target, bs = "bs=" + std::to_string(chunk_mib) + "M",
                      cnt = "count=" + std::to_string(count);
    const char *argv[] = {"dd", "if=/dev/zero", of.c_str(), bs.c_str(), cnt.c_str(),
                          "conv=notrunc", "oflag=append", "status=none", nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "dd", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void print_row(const char *name, const Best &b, long mib) {
    std::printf("  %-24s wall %7.3f s (%6.0f MB/s)  cpu %7.3f s  runs:", name, b.best,
                mib * 1048576.0 / b.best / 1e6, b.best_cpu);
    for (double s : b.all) std::printf(" %.3f", s);
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: blob_bench DIR [MIB] [RUNS] [CHUNK_MIB]\n");
        return 2;
    }
    const fs::path dir = argv[1];
    const long mib = argc > 2 ? std::atol(argv[2]) : 1024;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
    const long chunk_mib = argc > 4 ? std::atol(argv[4]) : 8;
    if (mib < 1 || runs < 1 || chunk_mib < 1 || mib % chunk_mib != 0) {
        std::fprintf(stderr, "blob_bench: MIB must be a multiple of CHUNK_MIB\n");
        return 2;
    }
    const fs::path store = dir / "store";
    const std::string dd_file = (dir / "dd-target.bin").string();
    std::error_code ec;
    fs::remove_all(store, ec);
    fs::remove(dd_file, ec);
    fs::create_directories(dir, ec);
    if (reg_storage_init(store.string().c_str()) != 0) fail("init");

    std::vector<char> chunk(static_cast<size_t>(chunk_mib) * 1024 * 1024);
    uint32_t x = 0x2545f491u;
    for (char &c : chunk) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }

    // Appending: our append calls against dd, each into a fresh empty file.
    Best append, dd;
    for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
            const bool ours = (side == 0) == (run % 2 == 0);
            if (ours) {
                char uuid[37];
                if (reg_blob_start_upload(uuid) != 0) fail("start");
                sync();
                const Timer t(RUSAGE_SELF);
                append_all(uuid, chunk, mib);
                append.add(t);
                if (reg_blob_cancel_upload(uuid) != 0) fail("cancel");
            } else {
                if (std::FILE *f = std::fopen(dd_file.c_str(), "wb")) std::fclose(f);
                sync();
                const Timer t(RUSAGE_CHILDREN);
                if (run_dd(dd_file, chunk_mib, mib / chunk_mib) != 0) fail("dd");
                dd.add(t);
                fs::remove(dd_file, ec);
            }
        }
    }

    // Finishing: one upload, finished and then moved back to be finished again, against
    // sha256_file of the same file. Both read it from the page cache.
    char uuid[37];
    if (reg_blob_start_upload(uuid) != 0) fail("start");
    append_all(uuid, chunk, mib);
    const std::string part = upload_path(store, uuid);
    uint8_t sum[32];
    if (sha256_file(part.c_str(), sum) != 0) fail("sha256_file");
    const std::string digest = "sha256:" + hex_of(sum);
    char blob[4096];
    Best finish, hash;
    for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
            const bool ours = (side == 0) == (run % 2 == 0);
            sync();
            const Timer t(RUSAGE_SELF);
            if (ours) {
                char out[REG_DIGEST_SIZE];
                if (reg_blob_finish_upload(uuid, digest.c_str(), out) != 0) fail("finish");
                finish.add(t);
                if (reg_blob_get_filepath(digest.c_str(), blob, sizeof blob) != 0) fail("filepath");
                fs::rename(blob, part, ec);
                if (ec) fail("moving the blob back");
            } else {
                if (sha256_file(part.c_str(), sum) != 0) fail("sha256_file");
                hash.add(t);
            }
        }
    }
    reg_blob_cancel_upload(uuid);
    fs::remove_all(store, ec);

    std::printf("%ld MiB, %ld MiB chunks, %d runs of each (best run counts):\n", mib, chunk_mib,
                runs);
    print_row("reg_blob_append_chunk", append, mib);
    print_row("dd oflag=append", dd, mib);
    print_row("reg_blob_finish_upload", finish, mib);
    print_row("sha256_file", hash, mib);
    std::printf("\nRatios, time ours / time floor (best wall-clock runs; best CPU times beside):\n");
    const auto ratio = [](const char *label, const Best &ours, const Best &floor, double target) {
        const double r = ours.best / floor.best;
        std::printf("  %-22s %.3f  (target <= %.2f: %s; by CPU time %.3f)\n", label, r, target,
                    r <= target ? "met" : "NOT met", ours.best_cpu / floor.best_cpu);
    };
    ratio("finish / sha256_file", finish, hash, 1.10);
    ratio("append / dd", append, dd, 1.25);
    return 0;
}
