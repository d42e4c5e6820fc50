// sha256_file through a chosen compression implementation, for bench/run-sha256.sh.
//
//   sha256_bench [--impl auto|portable|sha-ni] [--repeat N] FILE...
//
// The command line, the timing and the output are the shared driver's (bench/hash_bench.h).
#include <cstring>

#include "bench/hash_bench.h"
#include "crypto/sha256.h"
#include "crypto/sha256_internal.h"

namespace {

int parse_impl(const char *name) {
    if (std::strcmp(name, "auto") == 0) return SHA256_IMPL_AUTO;
    if (std::strcmp(name, "portable") == 0) return SHA256_IMPL_PORTABLE;
    if (std::strcmp(name, "sha-ni") == 0 || std::strcmp(name, "shani") == 0)
        return SHA256_IMPL_SHANI;
    return -1;
}

const hash_bench kSha256 = {
    "sha256_bench",
    "auto|portable|sha-ni",
    32,
    parse_impl,
    [](int impl) { return sha256_select_impl((sha256_impl)impl); },
    [](int impl) { return sha256_impl_name((sha256_impl)impl); },
    [] { return (int)sha256_active_impl(); },
    [](const char *path, uint8_t *digest) { return sha256_file(path, digest); },
};

}  // namespace

int main(int argc, char **argv) { return hash_bench_main(kSha256, argc, argv); }
