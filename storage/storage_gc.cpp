// Garbage collection: marks every blob and manifest that some repository still refers to and
// removes the rest (unreferenced blob files, blob links, optionally untagged manifests, stale
// uploads and what killed writes left), sparing whatever is younger than its grace period so
// that pushes in flight survive. This file holds the mark and the entry point; the sweeps are
// in storage_gc_sweep.cpp and storage_gc_leftovers.cpp.
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/bv_platform_fs.h"
#include "storage/manifest_json.h"
#include "storage/storage_gc_internal.h"

using namespace reg_internal;

namespace reg_internal::gc {

namespace {

constexpr size_t kPrefixLen = kAlgorithmPrefixLen;  // "sha256:" or "sha512:"

// A whole file into `out` when it holds at most `cap` bytes: false else.
bool slurp(const char *path, size_t cap, std::string *out) {
    const int64_t size = file_size(path);
    if (size < 0 || static_cast<uint64_t>(size) > cap) return false;
    std::FILE *f = bv_platform::open_read(path);
    if (!f) return false;
    out->resize(static_cast<size_t>(size));
    const size_t got = size > 0 ? std::fread(&(*out)[0], 1, out->size(), f) : 0;
    const bool more = std::fgetc(f) != EOF;
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    return !failed && !more && got == out->size();
}

void collect_named(void *ctx, const char *digest, named_kind kind) {
    auto *node = static_cast<manifest_node *>(ctx);
    const char *hex = digest + kPrefixLen;
    switch (kind) {
        case named_kind::blob:
        case named_kind::external_blob: node->blobs.emplace_back(hex); break;
        case named_kind::child: node->children.emplace_back(hex); break;
        case named_kind::subject: node->subjects.emplace_back(hex); break;
    }
}

}  // namespace

int collector::run() {
    name_list repos;
    if (collect_repositories(&repos) != 0) return -1;
    for (size_t i = 0; i < repos.count(); ++i) {
        if (repository(repos.at(i)) != 0) return -1;
        progress("repositories", i + 1, repos.count());
    }
    if (sweep_blobs() != 0) return -1;
    if (sweep_uploads() != 0) return -1;
    // The catalog index drops the repositories that are gone (removed by hand, or emptied
    // away); a dry run writes nothing.
    if (!opts_.dry_run && catalog_index_rewrite() != 0) ++res_.failures;
    return 0;
}

int collector::repository(const char *repo) {
    // Everything below is read and decided under the repository's lock, so a manifest put or
    // a link made while the collection runs is either seen here or made after the removals
    // (and then finds what it names gone, and fails). A dry run removes nothing and locks
    // nothing, so it writes nothing either.
    repo_lock lock;
    if (!opts_.dry_run) {
        if (lock.acquire(repo) != 0) {
            ++res_.failures;
            return 0;
        }
    }
    char dir[kPathSize];
    char path[kPathSize];
    manifests_dir(repo, dir, sizeof dir);
    dir_listing listing;
    if (list_dir(dir, &listing) == kListNoMemory) return -1;

    // A body that cannot be read might name any of the repository's blobs, so none of its
    // links may go; its manifest stays too.
    bool unsure = false;
    std::vector<manifest_node> nodes;
    std::string body;
    for (size_t i = 0; i < listing.count(); ++i) {
        if (listing.is_dir(i) || !hex_name(listing.name(i))) continue;
        manifest_node node;
        node.hex = listing.name(i);
        manifest_body_path(repo, listing.name(i), path, sizeof path);
        node.young = young(path, opts_.grace_blobs);
        node.parsed = slurp(path, REG_MANIFEST_MAX, &body) &&
                      manifest_named_digests(body.data(), body.size(), collect_named, &node,
                                             nullptr) == 0;
        node.bytes = static_cast<int64_t>(body.size());
        if (!node.parsed) unsure = true;
        nodes.push_back(std::move(node));
    }

    sweep_manifest_dirs(repo, listing);
    if (s_repo_locked_hook && !opts_.dry_run) s_repo_locked_hook("collect", repo);

    if (opts_.delete_untagged) {
        keep_closure(repo, nodes);
        drop_manifests(repo, nodes);
    } else {
        for (manifest_node &node : nodes) node.kept = true;
    }

    std::unordered_set<std::string> refs;
    for (const manifest_node &node : nodes) {
        if (!node.kept) continue;
        for (const std::string &hex : node.blobs) {
            refs.insert(hex);
            marked_.insert(hex);
        }
    }
    return sweep_links(repo, refs, unsure);
}

// The roots are the tagged manifests, the young ones and the ones whose body could not be
// read; from them the keep spreads to index children and to the referrers of what is kept.
void collector::keep_closure(const char *repo, std::vector<manifest_node> &nodes) {
    std::unordered_map<std::string, size_t> by_hex;
    std::unordered_multimap<std::string, size_t> by_subject;
    for (size_t i = 0; i < nodes.size(); ++i) {
        by_hex.emplace(nodes[i].hex, i);
        for (const std::string &subject : nodes[i].subjects) by_subject.emplace(subject, i);
        nodes[i].kept = nodes[i].young || !nodes[i].parsed;
    }
    std::vector<size_t> work;
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].kept) work.push_back(i);
    auto keep = [&](const std::string &hex) {
        const auto it = by_hex.find(hex);
        if (it == by_hex.end() || nodes[it->second].kept) return;
        nodes[it->second].kept = true;
        work.push_back(it->second);
    };
    name_list tags;
    // Tag names that cannot all be read leave every manifest standing.
    bool tags_whole = collect_tag_names(repo, &tags) == 0;
    for (size_t i = 0; tags_whole && i < tags.count(); ++i) {
        char hex[kHexSize];
        if (manifest_resolve(repo, tags.at(i), hex) == 0) keep(hex);
        else if (tag_link_readable(repo, tags.at(i))) tags_whole = false;
    }
    if (!tags_whole)
        for (size_t i = 0; i < nodes.size(); ++i) keep(nodes[i].hex);
    while (!work.empty()) {
        const size_t at = work.back();
        work.pop_back();
        for (const std::string &child : nodes[at].children) keep(child);
        const auto range = by_subject.equal_range(nodes[at].hex);
        for (auto it = range.first; it != range.second; ++it) keep(nodes[it->second].hex);
    }
}

// Each manifest left unkept goes, unless a tag has come to name it since the roots were
// read or it became young meanwhile; one that stays is kept with all it names.
void collector::drop_manifests(const char *repo, std::vector<manifest_node> &nodes) {
    std::unordered_set<std::string> tagged;
    name_list tags;
    if (collect_tag_names(repo, &tags) != 0) {
        for (manifest_node &node : nodes) node.kept = true;
        return;
    }
    for (size_t i = 0; i < tags.count(); ++i) {
        char hex[kHexSize];
        if (manifest_resolve(repo, tags.at(i), hex) == 0) tagged.insert(hex);
    }
    for (manifest_node &node : nodes) {
        if (node.kept) continue;
        char path[kPathSize];
        manifest_body_path(repo, node.hex.c_str(), path, sizeof path);
        if (tagged.count(node.hex) || young(path, opts_.grace_blobs)) {
            node.kept = true;
            continue;
        }
        char digest[kDigestSize];
        digest_from_hex(node.hex.c_str(), digest, sizeof digest);
        item("manifest", "manifest %s@%s %lld", repo, digest, static_cast<long long>(node.bytes));
        if (!opts_.dry_run) {
            if (manifest_delete_locked(repo, digest) != 0) {
                ++res_.failures;
                node.kept = true;
                continue;
            }
        }
        ++res_.manifests;
        res_.manifest_bytes += node.bytes;
    }
}

}  // namespace reg_internal::gc

extern "C" int reg_gc_run(const reg_gc_options *opts, reg_gc_result *out) {
    reg_gc_result res{};
    if (out) *out = res;
    if (!opts) {
        set_error(REG_ERR_ARGUMENT, "opts is NULL");
        return -1;
    }
    if (opts->grace_blobs < 0 || opts->grace_uploads < 0) {
        set_error(REG_ERR_ARGUMENT, "grace periods must not be negative");
        return -1;
    }
    if (require_ready() != 0) return -1;
    int rc = -1;
    try {
        gc::collector collection(*opts, res);
        rc = collection.run();
    } catch (const std::bad_alloc &) {
        rc = -1;
    }
    if (out) *out = res;
    if (rc != 0) {
        set_error(REG_ERR_IO, "out of memory walking the storage tree");
        return -1;
    }
    return 0;
}
