// The driver sha256_bench and sha512_bench share: the command line, the timed runs and the
// sumtool-style output, over the hash the including program describes in a hash_bench.
//
//   <program> [--impl auto|portable|<fast>] [--repeat N] FILE...
//
// Prints each file's digest as sha256sum / sha512sum do ("<hex>  FILE"). With --repeat N every
// file is hashed N times and each run's time and throughput, measured inside the process, go to
// standard error. Exit status: 0; 1 when a file cannot be hashed; 2 for a usage error or an
// implementation this CPU does not offer.
#ifndef BV_BENCH_HASH_BENCH_H
#define BV_BENCH_HASH_BENCH_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// One hash as the driver sees it; implementations are the module's enum values as int.
struct hash_bench {
    const char *program;     // "sha256_bench": the usage line and every message start with it
    const char *impl_names;  // "auto|portable|sha-ni": the --impl values, for the usage line
    int digest_size;         // in bytes, at most 64
    // The implementation an --impl value names, or -1 when it names none.
    int (*parse_impl)(const char *name);
    int (*select_impl)(int impl);  // 0, or -1 when this CPU does not offer it
    const char *(*impl_name)(int impl);
    int (*active_impl)(void);
    int (*hash_file)(const char *path, uint8_t *digest);  // 0, or -1 when it cannot be read
};

namespace hash_bench_detail {

inline int usage(const hash_bench &hash) {
    std::fprintf(stderr, "usage: %s [--impl %s] [--repeat N] FILE...\n", hash.program,
                 hash.impl_names);
    return 2;
}

inline long long file_size(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (!f) return -1;
    long long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    std::fclose(f);
    return size;
}

}  // namespace hash_bench_detail

// The whole program: main returns what this returns.
inline int hash_bench_main(const hash_bench &hash, int argc, char **argv) {
    using hash_bench_detail::usage;
    int impl = hash.parse_impl("auto");
    int repeat = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (std::strcmp(argv[i], "--impl") == 0 && i + 1 < argc) {
            impl = hash.parse_impl(argv[++i]);
            if (impl < 0) return usage(hash);
        } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::atoi(argv[++i]);
            if (repeat < 1) return usage(hash);
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else {
            return usage(hash);
        }
    }
    if (i >= argc) return usage(hash);
    if (hash.select_impl(impl) != 0) {
        std::fprintf(stderr, "%s: implementation %s is not available on this CPU\n", hash.program,
                     hash.impl_name(impl));
        return 2;
    }
    const char *active = hash.impl_name(hash.active_impl());

    int status = 0;
    for (; i < argc; ++i) {
        const char *path = argv[i];
        uint8_t digest[64];
        const int runs = repeat > 0 ? repeat : 1;
        bool ok = true;
        for (int r = 0; r < runs && ok; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            ok = hash.hash_file(path, digest) == 0;
            const auto t1 = std::chrono::steady_clock::now();
            if (ok && repeat > 0) {
                const double s = std::chrono::duration<double>(t1 - t0).count();
                const long long size = hash_bench_detail::file_size(path);
                std::fprintf(stderr, "%s run %d: %.3f s, %.1f MB/s (%s)\n", path, r + 1, s,
                             size > 0 && s > 0 ? (double)size / s / 1e6 : 0.0, active);
            }
        }
        if (!ok) {
            std::fprintf(stderr, "%s: %s: cannot hash\n", hash.program, path);
            status = 1;
            continue;
        }
        char hex[129];
        for (int b = 0; b < hash.digest_size; ++b)
            std::snprintf(hex + 2 * b, 3, "%02x", digest[b]);
        std::printf("%s  %s\n", hex, path);
    }
    return status;
}

#endif
