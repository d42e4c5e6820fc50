// Garbage collection: marks every blob and manifest that some repository still refers to and
// removes the rest (unreferenced blob files, blob links, optionally untagged manifests, stale
// uploads and what killed writes left), sparing whatever is younger than its grace period so
// that pushes in flight survive.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/bv_platform_fs.h"
#include "platform/bv_platform_time.h"
#include "storage/manifest_json.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

using namespace reg_internal;

namespace {

constexpr size_t kPrefixLen = kAlgorithmPrefixLen;  // "sha256:" or "sha512:"

// A directory entry named like a digest's digits, of either algorithm.
bool hex_name(const char *name) {
    char digest[kDigestSize];
    digest_from_hex(name, digest, sizeof digest);
    return digest_valid(digest) != 0;
}

// A directory entry named like the digits of a digest of `algorithm`.
bool hex_name_of(const char *name, const char *algorithm) {
    return hex_name(name) && std::strcmp(hex_algorithm(name), algorithm) == 0;
}

bool ends_with(const char *text, const char *suffix, size_t *stem_len) {
    const size_t n = std::strlen(text);
    const size_t m = std::strlen(suffix);
    if (n < m || std::strcmp(text + n - m, suffix) != 0) return false;
    *stem_len = n - m;
    return true;
}

// Whether the upload is still there, under its own name or claimed by a finish.
bool upload_present(const char *uuid) {
    char path[kPathSize];
    upload_path_for_uuid(uuid, path, sizeof path);
    if (file_exists(path)) return true;
    upload_claim_path(uuid, path, sizeof path);
    return file_exists(path) != 0;
}

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

// One stored manifest of the repository being collected, with what its body names.
struct manifest_node {
    std::string hex;
    std::vector<std::string> blobs;     // configs and layers, as their digits
    std::vector<std::string> children;  // index children
    std::vector<std::string> subjects;  // none, one, or more where the body repeats "subject"
    int64_t bytes = 0;
    bool parsed = false;
    bool young = false;
    bool kept = false;
};

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

class collector {
public:
    collector(const reg_gc_options &opts, reg_gc_result &res)
        : opts_(opts), res_(res), now_(bv_platform::now_seconds()) {}

    int run();

private:
    BV_PRINTF_FORMAT(3, 4)
    void item(const char *kind, const char *fmt, ...) {
        if (!opts_.on_item) return;
        char line[kPathSize];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        opts_.on_item(opts_.ctx, kind, line);
    }
    void progress(const char *phase, size_t done, size_t total) {
        if (opts_.on_progress) opts_.on_progress(opts_.ctx, phase, done, total);
    }
    // Younger than `grace` seconds, or of unknown age (which counts as young: kept).
    bool young(const char *path, int64_t grace) const {
        const int64_t mtime = bv_platform::mtime_of(path);
        return mtime < 0 || now_ - mtime < grace;
    }

    bool scan_dir(const char *dir, const char *wanted, int *left_young = nullptr,
                  int *removed = nullptr);
    bool drop_unfinished(const char *dir, const char *name);
    void sweep_manifest_dirs(const char *repo, const dir_listing &manifests);
    int repository(const char *repo);
    void keep_closure(const char *repo, std::vector<manifest_node> &nodes);
    void drop_manifests(const char *repo, std::vector<manifest_node> &nodes);
    int sweep_links(const char *repo, const std::unordered_set<std::string> &refs, bool unsure);
    void sweep_link(const char *repo, const char *hex, const std::unordered_set<std::string> &refs,
                    bool unsure);
    int sweep_blobs();
    int sweep_fanout(const char *algorithm, const char *fanout_name, const name_list &repos);
    void drop_blob(const char *hex, const char *path, int64_t size, const name_list &repos);
    void settle_parked(const name_list &repos);
    bool linked_anywhere(const char *hex, const name_list &repos) const;
    int sweep_uploads();

    const reg_gc_options &opts_;
    reg_gc_result &res_;
    const int64_t now_;
    std::unordered_set<std::string> marked_;  // blobs named by a kept manifest
    std::unordered_set<std::string> linked_;  // blobs named by a link that stays
    size_t link_dirs_ = 0;                    // link directories seen, in all repositories
    struct parked_blob {
        std::string hex;
        std::string path;
        int64_t size;
    };
    std::vector<parked_blob> parked_;         // parked, awaiting the last look for links
    std::vector<std::string> fanouts_;        // fan-out directories that may have emptied
};

// Looks through a directory the engine writes files into and says whether `wanted` (may be
// null) is among its entries. The temporary files of writes that never finished, which a
// killed program leaves behind and every listing hides, go once older than the upload grace;
// `left_young` and `removed` (may be null) count those spared and those gone.
bool collector::scan_dir(const char *dir, const char *wanted, int *left_young, int *removed) {
    bv_platform::dir_reader reader;
    if (!reader.open(dir)) return false;
    bool found = false;
    std::vector<std::string> unfinished;
    const char *name = nullptr;
    bool is_dir = false;
    while (reader.next(&name, &is_dir)) {
        if (wanted && !is_dir && std::strcmp(name, wanted) == 0) found = true;
        else if (!is_dir && is_temp_name(name)) unfinished.emplace_back(name);
    }
    reader.close();
    for (const std::string &n : unfinished) {
        const bool gone = drop_unfinished(dir, n.c_str());
        if (gone && removed) ++*removed;
        if (!gone && left_young) ++*left_young;
    }
    return found;
}

// Counted with the uploads: both are writes that never finished. True when it went (or, on
// a dry run, would go).
bool collector::drop_unfinished(const char *dir, const char *name) {
    char path[kPathSize];
    path_join(path, sizeof path, dir, name);
    if (young(path, opts_.grace_uploads)) {
        ++res_.spared;
        return false;
    }
    const int64_t size = file_size(path);
    const size_t root_len = std::strlen(s_root);
    const char *shown = std::strncmp(path, s_root, root_len) == 0 ? path + root_len + 1 : path;
    item("upload", "unfinished %s %lld", shown, static_cast<long long>(size));
    if (!opts_.dry_run && remove_file(path) != 0) {
        ++res_.failures;
        return false;
    }
    ++res_.uploads;
    res_.upload_bytes += size > 0 ? size : 0;
    return true;
}

// What killed puts and deletes leave in the manifest directories: temporary files beside the
// bodies, revision, tag and referrer links, and media-type files whose body never came or
// is gone (a put writes the type first, a delete removes it last).
void collector::sweep_manifest_dirs(const char *repo, const dir_listing &manifests) {
    char dir[kPathSize];
    manifests_dir(repo, dir, sizeof dir);
    scan_dir(dir, nullptr);
    std::unordered_set<std::string> bodies;
    for (size_t i = 0; i < manifests.count(); ++i)
        if (!manifests.is_dir(i) && hex_name(manifests.name(i))) bodies.insert(manifests.name(i));
    for (size_t i = 0; i < manifests.count(); ++i) {
        size_t stem = 0;
        const char *name = manifests.name(i);
        if (manifests.is_dir(i) || !ends_with(name, ".ct", &stem)) continue;
        const std::string hex(name, stem);
        if (bodies.count(hex) || !hex_name(hex.c_str())) continue;
        char path[kPathSize];
        manifest_ct_path(repo, hex.c_str(), path, sizeof path);
        if (young(path, opts_.grace_blobs)) {
            ++res_.spared;
            continue;
        }
        char digest[kDigestSize];
        digest_from_hex(hex.c_str(), digest, sizeof digest);
        item("upload", "unfinished %s@%s.ct", repo, digest);
        if (opts_.dry_run || remove_file(path) == 0) ++res_.uploads;
        else ++res_.failures;
    }

    dir_listing listing;
    for (const char *algorithm : kDigestAlgorithms) {
        manifest_revs_root(repo, algorithm, dir, sizeof dir);
        list_dir(dir, &listing);
        for (size_t i = 0; i < listing.count(); ++i) {
            if (!listing.is_dir(i) || !hex_name(listing.name(i))) continue;
            manifest_rev_dir(repo, listing.name(i), dir, sizeof dir);
            scan_dir(dir, nullptr);
        }
    }
    name_list tags;
    collect_tag_names(repo, &tags);
    for (size_t i = 0; i < tags.count(); ++i) {
        manifest_tag_dir(repo, tags.at(i), dir, sizeof dir);
        scan_dir(dir, nullptr);
    }
    // Subjects of either algorithm, each with referrers of either algorithm.
    dir_listing inner;
    for (const char *subject_algorithm : kDigestAlgorithms) {
        manifest_referrers_root(repo, subject_algorithm, dir, sizeof dir);
        list_dir(dir, &listing);
        for (size_t i = 0; i < listing.count(); ++i) {
            if (!listing.is_dir(i) || !hex_name(listing.name(i))) continue;
            for (const char *algorithm : kDigestAlgorithms) {
                manifest_referrers_dir(repo, listing.name(i), algorithm, dir, sizeof dir);
                list_dir(dir, &inner);
                for (size_t j = 0; j < inner.count(); ++j) {
                    if (!inner.is_dir(j) || !hex_name(inner.name(j))) continue;
                    char referrer[kPathSize];
                    manifest_referrer_dir(repo, listing.name(i), inner.name(j), referrer,
                                          sizeof referrer);
                    scan_dir(referrer, nullptr);
                }
            }
        }
    }
}

int collector::run() {
    name_list repos;
    if (collect_repositories(&repos) != 0) return -1;
    for (size_t i = 0; i < repos.count(); ++i) {
        if (repository(repos.at(i)) != 0) return -1;
        progress("repositories", i + 1, repos.count());
    }
    if (sweep_blobs() != 0) return -1;
    return sweep_uploads();
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

int collector::sweep_links(const char *repo, const std::unordered_set<std::string> &refs,
                           bool unsure) {
    dir_listing listing;
    for (const char *algorithm : kDigestAlgorithms) {
        char dir[kPathSize];
        blob_links_root(repo, algorithm, dir, sizeof dir);
        if (list_dir(dir, &listing) == kListNoMemory) return -1;
        link_dirs_ += listing.count();
        for (size_t i = 0; i < listing.count(); ++i)
            if (listing.is_dir(i) && hex_name_of(listing.name(i), algorithm))
                sweep_link(repo, listing.name(i), refs, unsure);
    }
    return 0;
}

// One blob link of the repository, named by the blob's digits: kept (and its blob marked as
// linked) when a kept manifest names it, when the repository's bodies cannot all be read, or
// when it is young; removed else.
void collector::sweep_link(const char *repo, const char *hex,
                           const std::unordered_set<std::string> &refs, bool unsure) {
    char link[kPathSize];
    char link_dir[kPathSize];
    blob_link_path(repo, hex, link, sizeof link);
    blob_link_dir(repo, hex, link_dir, sizeof link_dir);
    int left_young = 0;
    int removed = 0;
    if (!scan_dir(link_dir, "link", &left_young, &removed)) {
        // A link being made, or what a killed link or unlink left: the latter must not
        // keep its blob for ever. Removing the directory fails when a link came in since.
        // A removed temporary made the directory look new, but it was the last trace.
        if (left_young > 0 || (removed == 0 && young(link_dir, opts_.grace_blobs)))
            linked_.insert(hex);
        else if (!opts_.dry_run)
            bv_platform::remove_dir(link_dir);
        return;
    }
    if (unsure || refs.count(hex)) {
        linked_.insert(hex);
        return;
    }
    // A push links its blobs before it puts the manifest that names them.
    if (young(link, opts_.grace_blobs)) {
        ++res_.spared;
        linked_.insert(hex);
        return;
    }
    char digest[kDigestSize];
    digest_from_hex(hex, digest, sizeof digest);
    item("link", "link %s %s", repo, digest);
    if (!opts_.dry_run && blob_unlink_locked(repo, digest, false) != 0 &&
        reg_storage_last_error_kind() != REG_ERR_NOT_FOUND) {
        ++res_.failures;
        linked_.insert(hex);
        return;
    }
    ++res_.links;
}

bool collector::linked_anywhere(const char *hex, const name_list &repos) const {
    for (size_t i = 0; i < repos.count(); ++i) {
        char link[kPathSize];
        blob_link_path(repos.at(i), hex, link, sizeof link);
        if (file_exists(link)) return true;
    }
    return false;
}

// The blob is parked under a name no reader serves before the links are looked at once more:
// a push that linked it since the mark either made its manifest check before the park (its
// link is seen now and the blob comes back) or makes it after and finds no blob (refused).
// Parked blobs are settled in batches, so that many removals cost one listing of every
// repository's links rather than one look into every repository per blob.
void collector::drop_blob(const char *hex, const char *path, int64_t size,
                          const name_list &repos) {
    char trash[kPathSize];
    blob_trash_path(hex, trash, sizeof trash);
    if (bv_platform::move_no_replace(path, trash) != 0) {
        if (file_exists(path)) ++res_.failures;
        return;
    }
    parked_.push_back(parked_blob{hex, path, size});
    if (parked_.size() * repos.count() > link_dirs_ + 4096) settle_parked(repos);
}

void collector::settle_parked(const name_list &repos) {
    // A link directory counts as a link here: at worst a blob stays for the next run.
    std::unordered_set<std::string> linked;
    bool listed = parked_.size() * repos.count() > link_dirs_;
    dir_listing listing;
    for (size_t i = 0; listed && i < repos.count(); ++i) {
        for (const char *algorithm : kDigestAlgorithms) {
            char dir[kPathSize];
            blob_links_root(repos.at(i), algorithm, dir, sizeof dir);
            if (list_dir(dir, &listing) == kListNoMemory) listed = false;
            // The two algorithms' digits differ in length, so one set holds both.
            for (size_t j = 0; listed && j < listing.count(); ++j)
                if (listing.is_dir(j)) linked.emplace(listing.name(j));
        }
    }
    for (const parked_blob &blob : parked_) {
        char trash[kPathSize];
        blob_trash_path(blob.hex.c_str(), trash, sizeof trash);
        // A finish or link that claimed the blob between its age test and its park made it
        // young again; a link made before this look is seen. Either brings it back. Should a
        // finish have stored the same bytes under the name meanwhile, the parked copy goes.
        if (young(trash, opts_.grace_blobs) ||
            (listed ? linked.count(blob.hex) != 0 : linked_anywhere(blob.hex.c_str(), repos))) {
            if (bv_platform::move_no_replace(trash, blob.path.c_str()) != 0 &&
                file_exists(blob.path.c_str()))
                drop_file(trash);
            ++res_.spared;
            continue;
        }
        if (drop_file(trash) != 0) {
            ++res_.failures;
            continue;
        }
        ++res_.blobs;
        res_.blob_bytes += blob.size;
    }
    parked_.clear();
    // Only an empty fan-out directory goes; a finish that races this makes it again.
    for (const std::string &fanout : fanouts_) bv_platform::remove_dir(fanout.c_str());
    fanouts_.clear();
}

int collector::sweep_blobs() {
    // Repositories made since the mark may link blobs too.
    name_list repos;
    if (collect_repositories(&repos) != 0) return -1;
    dir_listing outer[std::size(kDigestAlgorithms)];
    size_t total = 0;
    for (size_t a = 0; a < std::size(kDigestAlgorithms); ++a) {
        char dir[kPathSize];
        blobs_dir(kDigestAlgorithms[a], dir, sizeof dir);
        if (list_dir(dir, &outer[a]) == kListNoMemory) return -1;
        total += outer[a].count();
    }
    size_t done = 0;
    for (size_t a = 0; a < std::size(kDigestAlgorithms); ++a) {
        for (size_t i = 0; i < outer[a].count(); ++i) {
            if (outer[a].is_dir(i) &&
                sweep_fanout(kDigestAlgorithms[a], outer[a].name(i), repos) != 0) {
                settle_parked(repos);
                return -1;
            }
            progress("blobs", ++done, total);
        }
    }
    settle_parked(repos);
    return 0;
}

// The blobs of one fan-out directory of `algorithm`: each that no kept manifest names and no
// link kept is parked for removal, and what an interrupted collection parked is settled. -1
// when memory runs out.
int collector::sweep_fanout(const char *algorithm, const char *fanout_name,
                            const name_list &repos) {
    char fanout[kPathSize];
    stats_fanout_dir(algorithm, fanout_name, fanout, sizeof fanout);
    dir_listing inner;
    const int listed = list_dir(fanout, &inner);
    if (listed == kListNoMemory) return -1;
    bool removed = false;
    for (size_t j = 0; listed == 0 && j < inner.count(); ++j) {
        if (inner.is_dir(j)) continue;
        const char *name = inner.name(j);
        char path[kPathSize];
        stats_blob_path(fanout, name, path, sizeof path);
        size_t stem = 0;
        if (ends_with(name, ".gc", &stem) && (stem == 64 || stem == 128)) {
            // Left by a collection that stopped between its park and its decision.
            const std::string hex(name, stem);
            char blob[kPathSize];
            stats_blob_path(fanout, hex.c_str(), blob, sizeof blob);
            if (opts_.dry_run) continue;
            if (hex_name_of(hex.c_str(), algorithm) && linked_anywhere(hex.c_str(), repos))
                bv_platform::move_no_replace(path, blob);
            else
                drop_file(path);
            continue;
        }
        // Digits of the other algorithm are no blob of this directory: no reader serves them.
        if (!hex_name_of(name, algorithm) || marked_.count(name) || linked_.count(name)) continue;
        if (young(path, opts_.grace_blobs)) {
            ++res_.spared;
            continue;
        }
        const int64_t size = file_size(path);
        char digest[kDigestSize];
        digest_from_hex(name, digest, sizeof digest);
        item("blob", "blob %s %lld", digest, static_cast<long long>(size));
        if (opts_.dry_run) {
            ++res_.blobs;
            res_.blob_bytes += size > 0 ? size : 0;
            continue;
        }
        drop_blob(name, path, size > 0 ? size : 0, repos);
        removed = true;
    }
    if (removed) fanouts_.emplace_back(fanout);
    return 0;
}

int collector::sweep_uploads() {
    // The storage's config.json is written once, at the root, by the first program to start.
    scan_dir(s_root, nullptr);
    char dir[kPathSize];
    uploads_dir(dir, sizeof dir);
    scan_dir(dir, nullptr);
    dir_listing listing;
    if (list_dir(dir, &listing) == kListNoMemory) return -1;
    for (size_t i = 0; i < listing.count(); ++i) {
        progress("uploads", i + 1, listing.count());
        if (listing.is_dir(i)) continue;
        const char *name = listing.name(i);
        size_t stem = 0;
        // A hash state or an owner record: files of an upload, never an upload of their own.
        const bool state = ends_with(name, kUploadHashSuffix, &stem) ||
                           ends_with(name, kUploadOwnerSuffix, &stem);
        if (!state && !ends_with(name, ".part", &stem) && !ends_with(name, ".finish", &stem))
            continue;
        char uuid[kUuidSize];
        if (stem != kUuidSize - 1) continue;
        std::memcpy(uuid, name, stem);
        uuid[stem] = '\0';
        if (!uuid_valid(uuid)) continue;
        char path[kPathSize];
        stats_upload_path(name, path, sizeof path);
        if (state) {
            // They go with their upload; alone, they are what a crash left between the
            // removals, and they go once as old as an upload would have to be.
            if (!opts_.dry_run && !upload_present(uuid) && !young(path, opts_.grace_uploads))
                drop_file(path);
            continue;
        }
        if (young(path, opts_.grace_uploads)) {
            ++res_.spared;
            continue;
        }
        const int64_t size = file_size(path);
        item("upload", "upload %s %lld", name, static_cast<long long>(size));
        if (!opts_.dry_run && drop_file(path) != 0) {
            ++res_.failures;
            continue;
        }
        if (!opts_.dry_run && !upload_present(uuid)) {
            char state_path[kPathSize];
            upload_hash_path(uuid, state_path, sizeof state_path);
            drop_file(state_path);
            upload_owner_drop(uuid);
        }
        ++res_.uploads;
        res_.upload_bytes += size > 0 ? size : 0;
    }
    return 0;
}

}  // namespace

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
        collector gc(*opts, res);
        rc = gc.run();
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
