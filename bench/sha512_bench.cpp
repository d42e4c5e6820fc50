// sha512_file through a chosen compression implementation, for bench/run-sha512.sh.
//
//   sha512_bench [--impl auto|portable|avx2] [--repeat N] FILE...
//
// Prints each file's digest as sha512sum does ("<128 hex>  FILE"). With --repeat N every file is
// hashed N times and each run's time and throughput, measured inside the process, go to
// standard error. Exit status: 0; 1 when a file cannot be hashed; 2 for a usage error or an
// implementation this CPU does not offer.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/sha512.h"
#include "crypto/sha512_internal.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: sha512_bench [--impl auto|portable|avx2] [--repeat N] FILE...\n");
    return 2;
}

long long file_size(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (!f) return -1;
    long long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    std::fclose(f);
    return size;
}

}  // namespace

int main(int argc, char **argv) {
    sha512_impl impl = SHA512_IMPL_AUTO;
    int repeat = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (std::strcmp(argv[i], "--impl") == 0 && i + 1 < argc) {
            const std::string name = argv[++i];
            if (name == "auto") impl = SHA512_IMPL_AUTO;
            else if (name == "portable") impl = SHA512_IMPL_PORTABLE;
            else if (name == "avx2") impl = SHA512_IMPL_AVX2;
            else return usage();
        } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::atoi(argv[++i]);
            if (repeat < 1) return usage();
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else {
            return usage();
        }
    }
    if (i >= argc) return usage();
    if (sha512_select_impl(impl) != 0) {
        std::fprintf(stderr, "sha512_bench: implementation %s is not available on this CPU\n",
                     sha512_impl_name(impl));
        return 2;
    }
    const char *active = sha512_impl_name(sha512_active_impl());

    int status = 0;
    for (; i < argc; ++i) {
        const char *path = argv[i];
        uint8_t digest[64];
        const int runs = repeat > 0 ? repeat : 1;
        bool ok = true;
        for (int r = 0; r < runs && ok; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            ok = sha512_file(path, digest) == 0;
            const auto t1 = std::chrono::steady_clock::now();
            if (ok && repeat > 0) {
                const double s = std::chrono::duration<double>(t1 - t0).count();
                const long long size = file_size(path);
                std::fprintf(stderr, "%s run %d: %.3f s, %.1f MB/s (%s)\n", path, r + 1, s,
                             size > 0 && s > 0 ? (double)size / s / 1e6 : 0.0, active);
            }
        }
        if (!ok) {
            std::fprintf(stderr, "sha512_bench: %s: cannot hash\n", path);
            status = 1;
            continue;
        }
        char hex[129];
        for (int b = 0; b < 64; ++b) std::snprintf(hex + 2 * b, 3, "%02x", digest[b]);
        std::printf("%s  %s\n", hex, path);
    }
    return status;
}
