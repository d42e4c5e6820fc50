// A scratch storage tree for the listing and statistics tests: the engine initialised on a
// fresh root, and helpers that place repositories, tags, blobs and uploads on disk by hand.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

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

}  // namespace listing_test
