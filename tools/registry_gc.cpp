// registry-gc: removes what no repository refers to any more (blobs, blob links, stale
// uploads and, when asked, untagged manifests) from a storage tree, safely beside a serving
// registry. A dry run lists what would go, one line each.
#include <cstdio>
#include <cstring>

#include "platform/bv_platform.h"
#include "platform/bv_platform_time.h"
#include "storage/reg_storage.h"
#include "tools/tool_common.h"

namespace {

constexpr char kProgram[] = "registry-gc";

void usage(std::FILE *to) {
    std::fprintf(to,
                 "Usage: registry-gc [options]\n"
                 "Removes blobs, blob links and uploads that nothing refers to. Exits 1 when\n"
                 "some could not be removed, 2 on a usage error or when the storage root holds\n"
                 "no storage tree (registry-init makes one).\n"
                 "\n"
                 "  --storage DIR            storage root (default: REGISTRY_STORAGE_ROOT, else\n"
                 "                           ./config.json, else ./registry_storage)\n"
                 "  --dry-run                list what would be removed, remove nothing\n"
                 "  --grace-blobs SECONDS    spare blobs, links and manifests younger than this\n"
                 "                           (default 3600): pushes in flight link blobs before\n"
                 "                           their manifest arrives\n"
                 "  --grace-uploads SECONDS  spare uploads younger than this (default 86400)\n"
                 "  --delete-untagged        also remove manifests no tag and no kept manifest\n"
                 "                           names\n"
                 "  --help                   show this text\n");
}

void print_item(void *ctx, const char *, const char *line) {
    if (*static_cast<const bool *>(ctx)) std::printf("%s\n", line);
}

void print_progress(void *, const char *phase, size_t done, size_t total) {
    std::fprintf(stderr, "\r%s: %zu/%zu   ", phase, done, total);
    if (done == total) std::fputc('\n', stderr);
}

}  // namespace

int main(int argc, char **argv) {
    const char *root = nullptr;
    reg_gc_options opts{};
    opts.grace_blobs = 3600;
    opts.grace_uploads = 86400;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (std::strcmp(arg, "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (std::strcmp(arg, "--dry-run") == 0) {
            opts.dry_run = 1;
        } else if (std::strcmp(arg, "--delete-untagged") == 0) {
            opts.delete_untagged = 1;
        } else if (std::strcmp(arg, "--storage") == 0 && has_value) {
            root = argv[++i];
        } else if (std::strcmp(arg, "--grace-blobs") == 0 && has_value) {
            if (!bv_tools::parse_seconds(argv[++i], &opts.grace_blobs)) {
                std::fprintf(stderr, "%s: --grace-blobs takes a number of seconds\n", kProgram);
                return 2;
            }
        } else if (std::strcmp(arg, "--grace-uploads") == 0 && has_value) {
            if (!bv_tools::parse_seconds(argv[++i], &opts.grace_uploads)) {
                std::fprintf(stderr, "%s: --grace-uploads takes a number of seconds\n",
                             kProgram);
                return 2;
            }
        } else {
            std::fprintf(stderr, "%s: unknown option or missing value: %s\n", kProgram, arg);
            usage(stderr);
            return 2;
        }
    }
    if (!bv_tools::open_storage(kProgram, root)) return 2;

    bool list = opts.dry_run != 0;
    opts.on_item = print_item;
    opts.ctx = &list;
    if (!opts.dry_run && bv_platform::stderr_is_terminal()) opts.on_progress = print_progress;
    reg_gc_result res{};
    const int rc = reg_gc_run(&opts, &res);
    const char *verb = opts.dry_run ? "would remove" : "removed";
    std::fprintf(opts.dry_run ? stderr : stdout,
                 "%s: %s %lld blobs (%lld bytes), %lld blob links, %lld manifests (%lld bytes), "
                 "%lld uploads (%lld bytes); %lld spared by their grace period\n",
                 kProgram, verb, static_cast<long long>(res.blobs),
                 static_cast<long long>(res.blob_bytes), static_cast<long long>(res.links),
                 static_cast<long long>(res.manifests),
                 static_cast<long long>(res.manifest_bytes), static_cast<long long>(res.uploads),
                 static_cast<long long>(res.upload_bytes), static_cast<long long>(res.spared));
    if (rc != 0) {
        std::fprintf(stderr, "%s: %s\n", kProgram, reg_storage_last_error());
        return 1;
    }
    if (res.failures > 0) {
        std::fprintf(stderr, "%s: %lld items could not be removed\n", kProgram,
                     static_cast<long long>(res.failures));
        return 1;
    }
    return 0;
}
