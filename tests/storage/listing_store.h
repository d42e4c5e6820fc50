// A scratch storage tree for the listing and statistics tests: the engine initialised on a
// fresh root, helpers that place repositories, tags, blobs and uploads on disk by hand, and a
// walk through every page of a listing.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/bv_platform.h"
#include "storage/reg_storage.h"
#include "support/test_support.h"

namespace listing_test {

namespace fs = std::filesystem;

inline const std::string kDigest =
    "sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

class Store {
public:
    Store() : root_(dir_.path() / "store") {
        EXPECT_EQ(reg_storage_init(root_.string().c_str()), 0) << reg_storage_last_error();
    }
    ~Store() { reg_storage_cleanup(); }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const fs::path &root() const { return root_; }
    fs::path repos() const { return root_ / "repositories"; }
    fs::path blobs() const { return root_ / "blobs" / "sha256"; }
    fs::path uploads() const { return root_ / "uploads"; }

    // A repository's directory; '/' in the name makes nested directories.
    fs::path repo(const std::string &name) const { return repos() / fs::path(name); }
    fs::path tag_dir(const std::string &repo_name, const std::string &tag) const {
        return repo(repo_name) / "_manifests" / "tags" / tag;
    }

    // A tag directory with its current/link holding `link`. False when the file system
    // refuses the name or would split it (control bytes, quotes and backslashes on Windows).
    bool tag(const std::string &repo_name, const std::string &tag,
             const std::string &link = kDigest) const {
        if (tag.find(bv_platform::path_sep) != std::string::npos) return false;
        std::error_code ec;
        const fs::path current = tag_dir(repo_name, tag) / "current";
        fs::create_directories(current, ec);
        if (ec || !fs::is_directory(current)) return false;
        bvtest::write_all(current / "link", link);
        return true;
    }
    // A repository with nothing in it: its _manifests directory ("_layers" when `layers`).
    bool repository(const std::string &name, bool layers = false) const {
        return make_dir(repo(name) / (layers ? "_layers" : "_manifests"));
    }
    // A directory, false when the file system refuses the name.
    static bool make_dir(const fs::path &path) {
        std::error_code ec;
        fs::create_directories(path, ec);
        return !ec && fs::is_directory(path);
    }

private:
    bvtest::TempDir dir_;
    fs::path root_;
};

// The names of a JSON string array member ("tags" or "repositories") of a listing document.
// Listing names never need escapes, so the text between quotes is the name.
inline std::vector<std::string> names_in(const std::string &doc, const std::string &member) {
    std::vector<std::string> names;
    size_t at = doc.find("\"" + member + "\":[");
    if (at == std::string::npos) return names;
    at += member.size() + 4;
    while (at < doc.size() && doc[at] == '"') {
        const size_t end = doc.find('"', at + 1);
        names.push_back(doc.substr(at + 1, end - at - 1));
        at = end + 1;
        if (at < doc.size() && doc[at] == ',') ++at;
    }
    return names;
}

// Every page of a listing from the start, each asked for after the previous page's out_next,
// until out_next comes back empty. Fails the test on a null page, a page larger than
// `page_size` or a next name other than the page's last.
template <typename Page>
std::vector<std::string> walk_pages(Page page, const std::string &member, int n,
                                    size_t page_size, size_t *pages = nullptr) {
    std::vector<std::string> all;
    std::string last;
    for (size_t count = 1;; ++count) {
        char next[256] = "untouched";
        const char *doc = page(n, last.c_str(), next);
        if (!doc) {
            ADD_FAILURE() << reg_storage_last_error();
            return all;
        }
        const std::vector<std::string> names = names_in(doc, member);
        EXPECT_LE(names.size(), page_size);
        all.insert(all.end(), names.begin(), names.end());
        if (pages) *pages = count;
        if (!*next) return all;
        EXPECT_FALSE(names.empty());
        if (names.empty()) return all;
        EXPECT_EQ(std::string(next), names.back());
        last = next;
    }
}

}  // namespace listing_test
