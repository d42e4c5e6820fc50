// registry-init: makes a storage tree on purpose (the root, its folders and a config.json
// with the defaults), the one step that creates what the endpoints and the other commands
// only ever open. Running it on a tree that is there changes nothing in it.
#include <cstdio>
#include <cstring>

#include "storage/reg_storage.h"
#include "tools/tool_common.h"

namespace {

constexpr char kProgram[] = "registry-init";

void usage(std::FILE *to) {
    std::fprintf(to,
                 "Usage: registry-init [options]\n"
                 "Makes the storage tree the registry serves: the root, its folders and a\n"
                 "config.json with the defaults. A tree that is there already stays as it is\n"
                 "(missing folders are added). Exits 0 when the tree is there afterwards, 1 when\n"
                 "it cannot be made, 2 on a usage error.\n"
                 "\n"
                 "  --storage DIR  storage root (default: REGISTRY_STORAGE_ROOT, else\n"
                 "                 ./config.json, else ./registry_storage)\n"
                 "  --help         show this text\n");
}

}  // namespace

int main(int argc, char **argv) {
    const char *given = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--storage") == 0 && i + 1 < argc) {
            given = argv[++i];
        } else {
            std::fprintf(stderr, "%s: unknown option or missing value: %s\n", kProgram, argv[i]);
            usage(stderr);
            return 2;
        }
    }
    char root[bv_tools::kRootCap];
    bv_tools::choose_root(given, root);
    // Opening first tells a tree that was there from one made now; it writes nothing.
    const bool existed = reg_storage_open(root) == 0;
    if (!existed && reg_storage_last_error_kind() != REG_ERR_NO_TREE) {
        std::fprintf(stderr, "%s: the storage at %s cannot be opened: %s\n", kProgram, root,
                     reg_storage_last_error());
        return 1;
    }
    if (reg_storage_init(root) != 0) {
        std::fprintf(stderr, "%s: cannot make the storage tree at %s: %s\n", kProgram, root,
                     reg_storage_last_error());
        return 1;
    }
    reg_storage_cleanup();
    std::printf("%s: %s the storage tree at %s\n", kProgram, existed ? "found" : "made", root);
    return 0;
}
