// Shared set-up of the blob-store tests: an initialised engine on a fresh scratch root, and
// helpers that upload content and name the files the store keeps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "crypto/sha256.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "support/test_support.h"
#include "tests/support/sha256_hex.h"

namespace blobtest {

namespace fs = std::filesystem;

inline std::string hex_of(const std::string &data) { return bvtest::sha256_hex(data); }

inline std::string digest_of(const std::string &data) { return "sha256:" + hex_of(data); }

// Replaces the engine's random source for its lifetime: `fill` supplies the bytes (false:
// the source fails).
class RandomScript {
public:
    using Fill = std::function<bool(unsigned char *buf, size_t len)>;
    explicit RandomScript(Fill fill) : saved_(reg_internal::s_random_source) {
        current() = std::move(fill);
        reg_internal::s_random_source = &call;
    }
    ~RandomScript() {
        reg_internal::s_random_source = saved_;
        current() = nullptr;
    }
    RandomScript(const RandomScript &) = delete;
    RandomScript &operator=(const RandomScript &) = delete;

private:
    static Fill &current() {
        static Fill fill;
        return fill;
    }
    static bool call(void *buf, size_t len) {
        return current()(static_cast<unsigned char *>(buf), len);
    }
    bool (*saved_)(void *, size_t);
};

// A source whose n-th identifier (from 0) has all sixteen bytes equal to n.
inline RandomScript::Fill counting_source(int *next) {
    return [next](unsigned char *buf, size_t len) {
        for (size_t i = 0; i < len; ++i) buf[i] = static_cast<unsigned char>(*next);
        ++*next;
        return true;
    };
}

class BlobTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(reg_storage_init(root_.str().c_str()), 0); }
    void TearDown() override { reg_storage_cleanup(); }

    std::string root() const { return root_.str(); }
    fs::path uploads() const { return root_.path() / "uploads"; }
    fs::path fanout(const std::string &digest) const {
        return root_.path() / "blobs" / digest.substr(0, 6) / digest.substr(7, 2);
    }
    fs::path blob_file(const std::string &digest) const { return fanout(digest) / digest.substr(7); }
    fs::path upload_file(const std::string &uuid) const { return uploads() / (uuid + ".part"); }
    std::string last_error() const { return reg_storage_last_error(); }

    // Starts an upload and appends `data` in one chunk; the identifier is returned.
    std::string open_upload(const std::string &data) {
        char uuid[37] = {};
        EXPECT_EQ(reg_blob_start_upload(uuid), 0) << last_error();
        if (!data.empty()) {
            EXPECT_EQ(reg_blob_append_chunk(uuid, data.data(), data.size()), 0) << last_error();
        }
        return uuid;
    }

    // Uploads and finishes `data`; its digest string is returned.
    std::string store(const std::string &data) {
        const std::string uuid = open_upload(data);
        const std::string digest = digest_of(data);
        char out[REG_DIGEST_SIZE] = {};
        EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), digest.c_str(), out), 0) << last_error();
        return digest;
    }

    bvtest::TempDir root_;
};

}  // namespace blobtest
