// Shared set-up of the manifest-store tests: an initialised engine on a fresh root, manifest
// bodies to store, and the paths of the files the store keeps for a repository.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "storage/reg_storage.h"
#include "support/test_support.h"
#include "tests/support/sha256_hex.h"

namespace manifesttest {

namespace fs = std::filesystem;

inline const std::string kDefaultType = "application/vnd.docker.distribution.manifest.v2+json";

inline std::string hex_of(const std::string &data) { return bvtest::sha256_hex(data); }

inline std::string fake_digest(char c) { return "sha256:" + std::string(64, c); }

// A manifest with the given config digest and one layer per digest; `extra` goes in front.
inline std::string manifest(const std::string &config = fake_digest('a'),
                            const std::vector<std::string> &layers = {fake_digest('b')},
                            const std::string &extra = "") {
    std::string out = "{" + extra + "\"schemaVersion\":2,\"config\":{\"digest\":\"" + config +
                      "\"},\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i)
        out += (i ? ",{\"digest\":\"" : "{\"digest\":\"") + layers[i] + "\"}";
    return out + "]}";
}

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(reg_storage_init(root_.str().c_str()), 0); }
    void TearDown() override { reg_storage_cleanup(); }

    std::string error() const { return reg_storage_last_error(); }
    fs::path repos() const { return root_.path() / "repositories"; }
    fs::path mdir(const std::string &repo = "app") const {
        return repos() / fs::path(repo) / "_manifests";
    }
    fs::path body_file(const std::string &hex, const std::string &repo = "app") const {
        return mdir(repo) / hex;
    }
    fs::path ct_file(const std::string &hex) const { return mdir() / (hex + ".ct"); }
    fs::path rev_link(const std::string &hex) const {
        return mdir() / "revisions" / "sha256" / hex / "link";
    }
    fs::path tag_link(const std::string &tag) const {
        return mdir() / "tags" / tag / "current" / "link";
    }

    // Puts `body` and expects success; the digest string comes back.
    std::string put(const std::string &ref, const std::string &body,
                    const char *media_type = nullptr, const std::string &repo = "app") {
        char digest[72] = {};
        EXPECT_EQ(reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(),
                                   media_type, digest),
                  0)
            << error();
        return digest;
    }
    int put_status(const std::string &ref, const std::string &body,
                   const std::string &repo = "app") {
        char digest[72] = {};
        return reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr,
                                digest);
    }

    // Get's body, or "<null>"; the media type and digest it reported go into the members.
    std::string get(const std::string &ref, const std::string &repo = "app") {
        char mt[128] = "untouched";
        char digest[72] = "untouched";
        const char *body = reg_manifest_get(repo.c_str(), ref.c_str(), mt, digest);
        got_type = mt;
        got_digest = digest;
        return body ? std::string(body) : std::string("<null>");
    }
    int del(const std::string &ref, const std::string &repo = "app") {
        return reg_manifest_delete(repo.c_str(), ref.c_str());
    }

    bvtest::TempDir root_;
    std::string got_type;
    std::string got_digest;
};

}  // namespace manifesttest
