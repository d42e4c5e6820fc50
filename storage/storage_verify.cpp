// Verification: re-hashes every blob and manifest body against its name and follows every
// link of every repository (blob, tag, revision and referrer links, and what manifests name),
// reporting each corrupt or dangling item as one line. Nothing is changed.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "storage/manifest_json.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

using namespace reg_internal;

namespace {


// A directory entry named like a digest's digits, of either algorithm.
bool hex_name(const char *name) {
    char digest[kDigestSize];
    digest_from_hex(name, digest, sizeof digest);
    return digest_valid(digest) != 0;
}

// A name of that algorithm's directory: its digits, of the count the path builders map there.
bool in_algorithm(const char *name, const char *algorithm) {
    return hex_name(name) && std::strcmp(hex_algorithm(name), algorithm) == 0;
}

class verifier {
public:
    verifier(reg_item_fn fn, void *ctx, reg_verify_result &res) : fn_(fn), ctx_(ctx), res_(res) {}

    int run() {
        if (blobs() != 0) return -1;
        name_list repos;
        if (collect_repositories(&repos) != 0) return -1;
        for (size_t i = 0; i < repos.count(); ++i)
            if (repository(repos.at(i)) != 0) return -1;
        return 0;
    }

private:
    BV_PRINTF_FORMAT(3, 4)
    void problem(const char *kind, const char *fmt, ...) {
        ++res_.problems;
        if (!fn_) return;
        char line[kPathSize];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        fn_(ctx_, kind, line);
    }

    // 0 with the file's hash in hex, in the algorithm of the digits `name` (which the file
    // is stored under), -1 when it cannot be read.
    static int hash_file(const char *path, const char *name, char (&hex)[kHexSize]) {
        digest_algorithm algorithm = digest_algorithm::sha256;
        algorithm_from_name(hex_algorithm(name), &algorithm);
        return hash_file_hex(algorithm, path, hex);
    }

    // What a link file holds, when it is exactly one digest string: 1, else 0 (`why` says
    // "unreadable" or "not a digest").
    static int link_digest(const char *path, char (&digest)[kDigestSize], const char **why) {
        char text[kDigestSize + 1];
        size_t len = 0;
        if (read_file(path, text, sizeof text, &len) != 0) {
            *why = "unreadable";
            return 0;
        }
        if (len >= kDigestSize || std::strlen(text) != len || !digest_valid(text)) {
            *why = "not a digest";
            return 0;
        }
        std::memcpy(digest, text, kDigestSize);
        return 1;
    }

    bool blob_stored(const char *hex) const {
        char path[kPathSize];
        char digest[kDigestSize];
        digest_from_hex(hex, digest, sizeof digest);
        blob_path_for_digest(digest, path, sizeof path);
        return file_exists(path) != 0;
    }

    int blobs() {
        return for_each_blob_fanout([&](const char *, const char *fanout,
                                        const dir_listing &entries) {
            for (size_t j = 0; j < entries.count(); ++j) {
                const char *name = entries.name(j);
                if (entries.is_dir(j) || !hex_name(name)) continue;
                ++res_.blobs;
                char digest[kDigestSize];
                digest_from_hex(name, digest, sizeof digest);
                char path[kPathSize];
                stats_blob_path(fanout, name, path, sizeof path);
                // Where readers look for it: its algorithm's directory and its fan-out.
                char expected[kPathSize];
                blob_path_for_digest(digest, expected, sizeof expected);
                char hex[kHexSize];
                if (std::strcmp(path, expected) != 0)
                    problem("misplaced-blob", "blob %s: stored outside its fan-out", digest);
                else if (hash_file(path, name, hex) != 0)
                    problem("unreadable-blob", "blob %s: cannot be read", digest);
                else if (std::strcmp(hex, name) != 0)
                    problem("corrupt-blob", "blob %s: content hashes to %.*s%s", digest,
                            static_cast<int>(kAlgorithmPrefixLen), digest, hex);
            }
            return 0;
        });
    }

    void check_named(const char *repo, const char *hex, const char *digest, named_kind kind) {
        const char *named = digest + kAlgorithmPrefixLen;
        char self[kDigestSize];
        digest_from_hex(hex, self, sizeof self);
        if (kind == named_kind::blob) {
            const int linked = reg_blob_linked(repo, digest);
            if (linked != 1)
                problem("dangling-reference", "manifest %s@%s names blob %s that the "
                        "repository lacks", repo, self, digest);
        } else if (kind == named_kind::child && !s_settings.sparse_indexes &&
                   !manifest_stored(repo, named)) {
            problem("dangling-reference", "manifest %s@%s names manifest %s that the "
                    "repository lacks", repo, self, digest);
        }
    }

    struct named_ctx {
        verifier *self;
        const char *repo;
        const char *hex;
    };
    static void on_named(void *ctx, const char *digest, named_kind kind) {
        auto *c = static_cast<named_ctx *>(ctx);
        c->self->check_named(c->repo, c->hex, digest, kind);
    }

    void manifests(const char *repo) {
        char dir[kPathSize];
        manifests_dir(repo, dir, sizeof dir);
        dir_listing listing;
        if (list_dir(dir, &listing) == kListNoMemory) throw std::bad_alloc();
        std::string body;
        for (size_t i = 0; i < listing.count(); ++i) {
            const char *name = listing.name(i);
            if (listing.is_dir(i) || !hex_name(name)) continue;
            ++res_.manifests;
            char path[kPathSize];
            manifest_body_path(repo, name, path, sizeof path);
            char digest[kDigestSize];
            digest_from_hex(name, digest, sizeof digest);
            char hex[kHexSize];
            if (hash_file(path, name, hex) != 0) {
                problem("unreadable-manifest", "manifest %s@%s: cannot be read", repo,
                        digest);
                continue;
            }
            if (std::strcmp(hex, name) != 0) {
                problem("corrupt-manifest", "manifest %s@%s: content hashes to "
                        "%s:%s", repo, digest, hex_algorithm(name), hex);
                continue;
            }
            char type[REG_MEDIA_TYPE_SIZE];
            if (manifest_media_type(repo, name, type) != 0)
                problem("bad-media-type", "manifest %s@%s: media type missing or "
                        "damaged", repo, digest);
            const int64_t size = file_size(path);
            if (size < 0 || size > REG_MANIFEST_MAX) continue;
            body.resize(static_cast<size_t>(size) + 1);
            size_t len = 0;
            if (read_file(path, &body[0], body.size(), &len) != 0) continue;
            named_ctx ctx{this, repo, name};
            bool repeats = false;
            if (manifest_named_digests(body.data(), len, on_named, &ctx, &repeats) != 0)
                problem("bad-manifest", "manifest %s@%s: body is no JSON object", repo,
                        digest);
            else if (repeats)
                // Stored before such bodies were refused: clients may read another member
                // than this system did when it checked the body.
                problem("duplicate-members", "manifest %s@%s: body repeats a member "
                        "name within one object", repo, digest);
        }
    }

    // A link stored in a directory named after what it links: it must hold that digest.
    void named_link(const char *what, const char *repo, const char *dir_hex, const char *path,
                    bool target_stored) {
        ++res_.links;
        char named[kDigestSize];  // what the directory's name stands for
        digest_from_hex(dir_hex, named, sizeof named);
        char digest[kDigestSize];
        const char *why = "";
        if (!link_digest(path, digest, &why)) {
            problem("bad-link", "%s link %s %s: %s", what, repo, named, why);
        } else if (std::strcmp(digest, named) != 0) {
            problem("bad-link", "%s link %s %s: names %s", what, repo, named, digest);
        } else if (!target_stored) {
            problem("dangling-link", "%s link %s %s: target missing", what, repo, named);
        }
    }

    void hex_dirs(const char *dir, dir_listing *listing) {
        if (list_dir(dir, listing) == kListNoMemory) throw std::bad_alloc();
    }

    int repository(const char *repo) {
        manifests(repo);
        char dir[kPathSize];
        char path[kPathSize];
        dir_listing listing;

        for (const char *algorithm : kDigestAlgorithms) {
            blob_links_root(repo, algorithm, dir, sizeof dir);
            hex_dirs(dir, &listing);
            for (size_t i = 0; i < listing.count(); ++i) {
                const char *hex = listing.name(i);
                // Digits of the other algorithm here are no link any reader finds.
                if (!listing.is_dir(i) || !hex_name(hex) ||
                    std::strcmp(hex_algorithm(hex), algorithm) != 0)
                    continue;
                blob_link_path(repo, hex, path, sizeof path);
                if (!file_exists(path)) continue;  // an unlink between its two steps
                named_link("blob", repo, hex, path, blob_stored(hex));
            }
        }

        for (const char *algorithm : kDigestAlgorithms) {
            manifest_revs_root(repo, algorithm, dir, sizeof dir);
            hex_dirs(dir, &listing);
            for (size_t i = 0; i < listing.count(); ++i) {
                const char *hex = listing.name(i);
                if (!listing.is_dir(i) || !in_algorithm(hex, algorithm)) continue;
                manifest_rev_path(repo, hex, path, sizeof path);
                if (!file_exists(path)) continue;
                named_link("revision", repo, hex, path, manifest_stored(repo, hex) != 0);
            }
        }

        name_list tags;
        if (collect_tag_names(repo, &tags) != 0) return -1;
        for (size_t i = 0; i < tags.count(); ++i) {
            manifest_tag_path(repo, tags.at(i), path, sizeof path);
            if (!file_exists(path)) continue;  // a tag deleted: only its directory is left
            ++res_.links;
            char digest[kDigestSize];
            const char *why = "";
            if (!link_digest(path, digest, &why))
                problem("bad-link", "tag link %s:%s: %s", repo, tags.at(i), why);
            else if (!manifest_stored(repo, digest + kAlgorithmPrefixLen))
                problem("dangling-link", "tag link %s:%s: names missing manifest %s", repo,
                        tags.at(i), digest);
        }

        dir_listing inner;
        for (const char *subject_algorithm : kDigestAlgorithms) {
            manifest_referrers_root(repo, subject_algorithm, dir, sizeof dir);
            hex_dirs(dir, &listing);
            for (size_t i = 0; i < listing.count(); ++i) {
                const char *subject = listing.name(i);
                if (!listing.is_dir(i) || !in_algorithm(subject, subject_algorithm)) continue;
                for (const char *algorithm : kDigestAlgorithms) {
                    char sub[kPathSize];
                    manifest_referrers_dir(repo, subject, algorithm, sub, sizeof sub);
                    hex_dirs(sub, &inner);
                    for (size_t j = 0; j < inner.count(); ++j) {
                        const char *hex = inner.name(j);
                        if (!inner.is_dir(j) || !in_algorithm(hex, algorithm)) continue;
                        manifest_referrer_path(repo, subject, hex, path, sizeof path);
                        if (!file_exists(path)) continue;
                        named_link("referrer", repo, hex, path, manifest_stored(repo, hex) != 0);
                    }
                }
            }
        }
        return 0;
    }

    reg_item_fn fn_;
    void *ctx_;
    reg_verify_result &res_;
};

}  // namespace

extern "C" int reg_verify_run(reg_item_fn on_problem, void *ctx, reg_verify_result *out) {
    reg_verify_result res{};
    if (out) *out = res;
    if (require_ready() != 0) return -1;
    int rc = -1;
    try {
        verifier v(on_problem, ctx, res);
        rc = v.run();
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
