// What the collector removes of writes that never finished: the temporary files killed writes
// leave in the engine's directories, media-type files of manifests whose body never came or is
// gone, and uploads (with their hash states and owner records) older than the upload grace.
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/bv_platform_fs.h"
#include "storage/storage_gc_internal.h"

namespace reg_internal::gc {

namespace {

// Whether the upload is still there, under its own name or claimed by a finish.
bool upload_present(const char *uuid) {
    char path[kPathSize];
    upload_path_for_uuid(uuid, path, sizeof path);
    if (file_exists(path)) return true;
    upload_claim_path(uuid, path, sizeof path);
    return file_exists(path) != 0;
}

}  // namespace

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

}  // namespace reg_internal::gc
