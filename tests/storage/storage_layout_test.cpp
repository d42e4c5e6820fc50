// The storage tree's path builders: every path the engine names, the separators they use,
// repository names with either separator, and cutting at the caller's size.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/bv_platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reg_internal;

const std::string S = bv_platform::path_sep_str;
const std::string H = "ab" + std::string(62, '3');
const std::string H2 = "ab" + std::string(126, '5');  // sha512 digits
const std::string U = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";
const std::string N = "lib" + S + "app";  // a nested repository, in the platform's own form

class StorageLayout : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(dir.str().c_str()), 0) << reg_storage_last_error();
        R = dir.str();
    }
    bvtest::TempDir dir;
    std::string R;
};

template <typename F>
std::string built(F f) {
    char out[kPathSize];
    f(out, sizeof out);
    return out;
}

TEST_F(StorageLayout, EveryPath) {
    const std::string M = R + S + "repositories" + S + "lib" + S + "app" + S + "_manifests";
    const struct {
        const char *label;
        std::string got, want;
    } cases[] = {
        {"config", built([](char *o, size_t n) { config_path(o, n); }), R + S + "config.json"},
        {"blobs", built([](char *o, size_t n) { blobs_dir("sha256", o, n); }), R + S + "blobs" + S + "sha256"},
        {"uploads", built([](char *o, size_t n) { uploads_dir(o, n); }), R + S + "uploads"},
        {"repos", built([](char *o, size_t n) { repos_dir(o, n); }), R + S + "repositories"},
        {"blob", built([](char *o, size_t n) { blob_path_for_digest(("sha256:" + H).c_str(), o, n); }),
         R + S + "blobs" + S + "sha256" + S + "ab" + S + H},
        {"fan-out", built([](char *o, size_t n) { blob_fanout_dir(H.c_str(), o, n); }),
         R + "/blobs/sha256/ab"},
        {"upload name", built([](char *o, size_t n) { upload_file_name(U.c_str(), o, n); }),
         U + ".part"},
        {"upload", built([](char *o, size_t n) { upload_path_for_uuid(U.c_str(), o, n); }),
         R + S + "uploads" + S + U + ".part"},
        {"manifests", built([](char *o, size_t n) { manifests_dir(N.c_str(), o, n); }), M},
        {"body", built([](char *o, size_t n) { manifest_body_path(N.c_str(), H.c_str(), o, n); }),
         M + S + H},
        {"ct", built([](char *o, size_t n) { manifest_ct_path(N.c_str(), H.c_str(), o, n); }),
         M + S + H + ".ct"},
        {"rev dir", built([](char *o, size_t n) { manifest_rev_dir(N.c_str(), H.c_str(), o, n); }),
         M + S + "revisions" + S + "sha256" + S + H},
        {"rev link", built([](char *o, size_t n) { manifest_rev_path(N.c_str(), H.c_str(), o, n); }),
         M + S + "revisions" + S + "sha256" + S + H + S + "link"},
        {"tags", built([](char *o, size_t n) { manifest_tags_dir(N.c_str(), o, n); }), M + S + "tags"},
        {"tag list", built([](char *o, size_t n) { tag_list_dir(N.c_str(), o, n); }), M + S + "tags"},
        {"tag dir", built([](char *o, size_t n) { manifest_tag_dir(N.c_str(), "v1", o, n); }),
         M + S + "tags" + S + "v1" + S + "current"},
        {"tag link", built([](char *o, size_t n) { manifest_tag_path(N.c_str(), "v1", o, n); }),
         M + S + "tags" + S + "v1" + S + "current" + S + "link"},
        {"stats fan-out", built([](char *o, size_t n) { stats_fanout_dir("sha256", "ab", o, n); }),
         R + S + "blobs" + S + "sha256" + S + "ab"},
        {"stats blob", built([](char *o, size_t n) { stats_blob_path("F", H.c_str(), o, n); }),
         "F" + S + H},
        {"repo", built([](char *o, size_t n) { repo_dir(N.c_str(), o, n); }),
         R + S + "repositories" + S + "lib" + S + "app"},
        {"repo layers", built([](char *o, size_t n) { repo_layers_dir(N.c_str(), o, n); }),
         R + S + "repositories" + S + "lib" + S + "app" + S + "_layers"},
        {"referrers", built([](char *o, size_t n) { manifest_referrers_dir(N.c_str(), H.c_str(), "sha256", o, n); }),
         M + S + "referrers" + S + "sha256" + S + H + S + "sha256"},
        {"referrer dir",
         built([](char *o, size_t n) { manifest_referrer_dir(N.c_str(), H.c_str(), "r", o, n); }),
         M + S + "referrers" + S + "sha256" + S + H + S + "sha256" + S + "r"},
        {"referrer link",
         built([](char *o, size_t n) { manifest_referrer_path(N.c_str(), H.c_str(), "r", o, n); }),
         M + S + "referrers" + S + "sha256" + S + H + S + "sha256" + S + "r" + S + "link"},
        {"stats upload", built([](char *o, size_t n) { stats_upload_path("x.part", o, n); }),
         R + S + "uploads" + S + "x.part"},
        // sha512 digits (128) live beside sha256 ones, under directories of their algorithm.
        {"sha512 blob", built([](char *o, size_t n) { blob_path_for_digest(("sha512:" + H2).c_str(), o, n); }),
         R + S + "blobs" + S + "sha512" + S + "ab" + S + H2},
        {"sha512 fan-out", built([](char *o, size_t n) { blob_fanout_dir(H2.c_str(), o, n); }),
         R + "/blobs/sha512/ab"},
        {"sha512 link", built([](char *o, size_t n) { blob_link_path(N.c_str(), H2.c_str(), o, n); }),
         R + S + "repositories" + S + "lib" + S + "app" + S + "_layers" + S + "sha512" + S + H2 + S + "link"},
        {"sha512 rev link", built([](char *o, size_t n) { manifest_rev_path(N.c_str(), H2.c_str(), o, n); }),
         M + S + "revisions" + S + "sha512" + S + H2 + S + "link"},
        {"sha512 referrer of a sha256 subject",
         built([](char *o, size_t n) { manifest_referrer_path(N.c_str(), H.c_str(), H2.c_str(), o, n); }),
         M + S + "referrers" + S + "sha256" + S + H + S + "sha512" + S + H2 + S + "link"},
        {"digest from sha512 digits", built([](char *o, size_t n) { digest_from_hex(H2.c_str(), o, n); }),
         "sha512:" + H2},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want) << c.label;
}

// "lib\app" and "lib/app" are one repository, on every platform.
TEST_F(StorageLayout, BackslashInRepositoryName) {
    const std::string a = built([](char *o, size_t n) { manifests_dir("lib\\app", o, n); });
    const std::string b = built([](char *o, size_t n) { manifests_dir(N.c_str(), o, n); });
    ASSERT_EQ(mkdirs(a.c_str()), 0);
    EXPECT_TRUE(dir_exists(b.c_str()));
    EXPECT_TRUE(fs::is_directory(fs::path(R) / "repositories" / "lib" / "app" / "_manifests"));
    const std::string t1 = built([](char *o, size_t n) { manifest_tag_path("x\\y", "v", o, n); });
    const std::string t2 = built([](char *o, size_t n) { manifest_tag_path("x/y", "v", o, n); });
    if (bv_platform::path_sep == '/') {
        EXPECT_EQ(t1, t2);
    }
    // A tag is inserted as it is.
    const std::string t3 = built([](char *o, size_t n) { manifest_tag_path("r", "a\\b", o, n); });
    EXPECT_NE(t3.find("a\\b"), std::string::npos);
}

// Only a repository's own areas make a directory a repository.
TEST(StorageLayoutMarkers, RepositoryMarkers) {
    for (const char *yes : {"_manifests", "_layers"}) EXPECT_TRUE(is_repo_marker(yes)) << yes;
    for (const char *no : {"_uploads", "manifests", "_manifests2", "_Layers", "", "tags"})
        EXPECT_FALSE(is_repo_marker(no)) << no;
}

TEST_F(StorageLayout, CutToTheCallersSize) {
    char out[16];
    const std::string body = built([](char *o, size_t n) { manifest_body_path("r", H.c_str(), o, n); });
    for (size_t size : {size_t{1}, size_t{5}, sizeof out}) {
        manifest_body_path("r", H.c_str(), out, size);
        EXPECT_EQ(std::string(out), body.substr(0, size - 1)) << size;
        blob_path_for_digest(("sha256:" + H).c_str(), out, size);
        EXPECT_EQ(std::string(out).size(), std::min(size - 1, R.size() + 83)) << size;
    }
    // ".ct" goes into what is left after the body path.
    std::string ct(body.size() + 3, '\0');
    manifest_ct_path("r", H.c_str(), ct.data(), body.size() + 2);
    EXPECT_EQ(std::string(ct.c_str()), body + ".");
    // A digest too short to hold its digits gives a path, never a read past its end.
    blob_path_for_digest("sha", out, sizeof out);
    blob_path_for_digest("sha256:a", out, sizeof out);
}

}  // namespace
