// sha512_file through a chosen compression implementation, for bench/run-sha512.sh.
//
//   sha512_bench [--impl auto|portable|avx2] [--repeat N] FILE...
//
// The command line, the timing and the output are the shared driver's (bench/hash_bench.h).
#include <cstring>

#include "bench/hash_bench.h"
#include "crypto/sha512.h"
#include "crypto/sha512_internal.h"

namespace {

int parse_impl(const char *name) {
    if (std::strcmp(name, "auto") == 0) return SHA512_IMPL_AUTO;
    if (std::strcmp(name, "portable") == 0) return SHA512_IMPL_PORTABLE;
    if (std::strcmp(name, "avx2") == 0) return SHA512_IMPL_AVX2;
    return -1;
}

const hash_bench kSha512 = {
    "sha512_bench",
    "auto|portable|avx2",
    64,
    parse_impl,
    [](int impl) { return sha512_select_impl((sha512_impl)impl); },
    [](int impl) { return sha512_impl_name((sha512_impl)impl); },
    [] { return (int)sha512_active_impl(); },
    [](const char *path, uint8_t *digest) { return sha512_file(path, digest); },
};

}  // namespace

int main(int argc, char **argv) { return hash_bench_main(kSha512, argc, argv); }
