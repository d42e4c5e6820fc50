// registry-verify: re-hashes every blob and manifest of a storage tree and follows every link,
// printing each corrupt or dangling item on a line of its own; the exit status says whether
// any was found.
#include <cstdio>
#include <cstring>

#include "storage/reg_storage.h"
#include "tools/tool_common.h"

namespace {

constexpr char kProgram[] = "registry-verify";

void usage(std::FILE *to) {
    std::fprintf(to,
                 "Usage: registry-verify [options]\n"
                 "Checks every blob, manifest and link of the storage; exits 1 when any is\n"
                 "corrupt or dangling, 2 on a usage error or when the check cannot run.\n"
                 "\n"
                 "  --storage DIR  storage root (default: REGISTRY_STORAGE_ROOT, else\n"
                 "                 ./config.json, else ./registry_storage)\n"
                 "  --help         show this text\n");
}

void print_problem(void *, const char *, const char *line) { std::printf("%s\n", line); }

}  // namespace

int main(int argc, char **argv) {
    const char *root = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--storage") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else {
            std::fprintf(stderr, "%s: unknown option or missing value: %s\n", kProgram, argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (!bv_tools::open_storage(kProgram, root)) return 2;
    reg_verify_result res{};
    if (reg_verify_run(print_problem, nullptr, &res) != 0) {
        std::fprintf(stderr, "%s: %s\n", kProgram, reg_storage_last_error());
        return 2;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %lld blobs, %lld manifests, %lld links checked; %lld problems\n",
                 kProgram, static_cast<long long>(res.blobs),
                 static_cast<long long>(res.manifests), static_cast<long long>(res.links),
                 static_cast<long long>(res.problems));
    return res.problems > 0 ? 1 : 0;
}
