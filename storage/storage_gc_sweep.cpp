// The collector's sweeps of blob links and of the blob store: a link no kept manifest names
// goes, and a blob that no kept manifest names and no link keeps is parked, looked for once
// more in every repository's links, and then removed or brought back.
#include <iterator>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/bv_platform_fs.h"
#include "storage/storage_gc_internal.h"

namespace reg_internal::gc {

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

}  // namespace reg_internal::gc
