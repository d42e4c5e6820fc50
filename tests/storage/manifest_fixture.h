// Shared set-up of the manifest-store tests: an initialised engine on a fresh root, blobs
// stored and linked through the blob store, manifest and index bodies built from parts, and
// the paths of the files the store keeps for a repository.
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

inline const std::string kOciManifest = "application/vnd.oci.image.manifest.v1+json";
inline const std::string kOciIndex = "application/vnd.oci.image.index.v1+json";
inline const std::string kDockerManifest = "application/vnd.docker.distribution.manifest.v2+json";
inline const std::string kDockerList = "application/vnd.docker.distribution.manifest.list.v2+json";
inline const std::string kOciConfig = "application/vnd.oci.image.config.v1+json";
inline const std::string kOciLayer = "application/vnd.oci.image.layer.v1.tar+gzip";

inline std::string hex_of(const std::string &data) { return bvtest::sha256_hex(data); }
inline std::string digest_of(const std::string &data) { return "sha256:" + hex_of(data); }
inline std::string fake_digest(char c) { return "sha256:" + std::string(64, c); }

inline std::string hex512_of(const std::string &data) { return bvtest::sha512_hex(data); }
inline std::string digest512_of(const std::string &data) { return "sha512:" + hex512_of(data); }
// The directory named for the algorithm whose digits `hex` is.
inline const char *algorithm_of(const std::string &hex) {
    return hex.size() == 128 ? "sha512" : "sha256";
}

// A descriptor; `extra` goes after the three required members (start it with a comma).
inline std::string desc(const std::string &digest, const std::string &media_type = kOciLayer,
                        long long size = 1, const std::string &extra = "") {
    return "{\"mediaType\":\"" + media_type + "\",\"digest\":\"" + digest +
           "\",\"size\":" + std::to_string(size) + extra + "}";
}

inline std::string join(const std::vector<std::string> &items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out;
}

// An image manifest. `type` "" leaves out the mediaType member; `extra` goes in front (end it
// with a comma).
inline std::string image(const std::string &config, const std::vector<std::string> &layers,
                         const std::string &type = kOciManifest, const std::string &extra = "") {
    std::string out = "{" + extra + "\"schemaVersion\":2,";
    if (!type.empty()) out += "\"mediaType\":\"" + type + "\",";
    return out + "\"config\":" + config + ",\"layers\":[" + join(layers) + "]}";
}

// An index of the given descriptors, with the same conventions.
inline std::string index(const std::vector<std::string> &manifests,
                         const std::string &type = kOciIndex, const std::string &extra = "") {
    std::string out = "{" + extra + "\"schemaVersion\":2,";
    if (!type.empty()) out += "\"mediaType\":\"" + type + "\",";
    return out + "\"manifests\":[" + join(manifests) + "]}";
}

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(root_.str().c_str()), 0);
        config_ = blob("{\"config\":1}");
        layer_ = blob("layer bytes");
        body_ = image(desc(config_, kOciConfig), {desc(layer_)});
    }
    void TearDown() override { reg_storage_cleanup(); }

    std::string error() const { return reg_storage_last_error(); }
    reg_error_kind kind() const { return reg_storage_last_error_kind(); }
    fs::path repos() const { return root_.path() / "repositories"; }
    fs::path mdir(const std::string &repo = "app") const {
        return repos() / fs::path(repo) / "_manifests";
    }
    fs::path body_file(const std::string &hex, const std::string &repo = "app") const {
        return mdir(repo) / hex;
    }
    fs::path ct_file(const std::string &hex) const { return mdir() / (hex + ".ct"); }
    fs::path rev_link(const std::string &hex) const {
        return mdir() / "revisions" / algorithm_of(hex) / hex / "link";
    }
    fs::path tag_link(const std::string &tag) const {
        return mdir() / "tags" / tag / "current" / "link";
    }
    fs::path referrer_link(const std::string &subject_hex, const std::string &hex) const {
        return mdir() / "referrers" / algorithm_of(subject_hex) / subject_hex / algorithm_of(hex) /
               hex / "link";
    }

    // Stores `content` as a blob (a digest of `algorithm`) through an upload and links it into
    // `repo`; its digest.
    std::string blob(const std::string &content, const std::string &repo = "app",
                     const std::string &algorithm = "sha256") {
        char uuid[37];
        char digest[REG_DIGEST_SIZE];
        EXPECT_EQ(reg_blob_start_upload_algorithm(algorithm.c_str(), uuid), 0) << error();
        EXPECT_EQ(reg_blob_append_chunk(uuid, content.data(), content.size()), 0) << error();
        const std::string expected = bvtest::digest_in(algorithm, content);
        EXPECT_EQ(reg_blob_finish_upload(uuid, expected.c_str(), digest), 0) << error();
        EXPECT_EQ(reg_blob_link(repo.c_str(), digest), 0) << error();
        return digest;
    }

    // Places `content` in the blob store under its sha512 digest and links it into `repo`.
    std::string blob512(const std::string &content, const std::string &repo = "app") {
        const std::string hex = hex512_of(content);
        const fs::path dir = root_.path() / "blobs" / "sha512" / hex.substr(0, 2);
        fs::create_directories(dir);
        bvtest::write_all(dir / hex, content);
        EXPECT_EQ(reg_blob_link(repo.c_str(), ("sha512:" + hex).c_str()), 0) << error();
        return "sha512:" + hex;
    }

    // Puts `body` and expects success; the digest string comes back, the subject in subject_.
    std::string put(const std::string &ref, const std::string &body,
                    const char *media_type = nullptr, const std::string &repo = "app") {
        char digest[REG_DIGEST_SIZE] = {};
        char subject[REG_DIGEST_SIZE] = "untouched";
        EXPECT_EQ(reg_manifest_store(repo.c_str(), ref.c_str(), body.data(), body.size(),
                                     media_type, digest, subject),
                  0)
            << error();
        subject_ = subject;
        return digest;
    }
    int put_status(const std::string &ref, const std::string &body,
                   const char *media_type = nullptr, const std::string &repo = "app") {
        char digest[REG_DIGEST_SIZE] = {};
        return reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), media_type,
                                digest);
    }

    // Get's body, or "<null>"; the media type and digest it reported go into the members.
    std::string get(const std::string &ref, const std::string &repo = "app") {
        char mt[128] = "untouched";
        char digest[REG_DIGEST_SIZE] = "untouched";
        const char *body = reg_manifest_get(repo.c_str(), ref.c_str(), mt, digest);
        got_type = mt;
        got_digest = digest;
        return body ? std::string(body) : std::string("<null>");
    }
    int del(const std::string &ref, const std::string &repo = "app") {
        return reg_manifest_delete(repo.c_str(), ref.c_str());
    }

    bvtest::TempDir root_;
    std::string config_, layer_;  // blobs linked into "app"
    std::string body_;            // an OCI image manifest of them
    std::string subject_;
    std::string got_type;
    std::string got_digest;
};

}  // namespace manifesttest
