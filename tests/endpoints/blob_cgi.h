// Shared set-up of the blob and upload program tests: a scratch storage root, blobs seeded
// through the engine, the programs run as the web server runs them and their answers split
// into status, headers and body.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "support/test_support.h"
#include "tests/support/sha256_hex.h"

namespace blobcgi {

struct CgiAnswer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names as written
    std::string body;
    std::string raw;
    std::string header(const std::string &name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
    bool has(const std::string &name) const { return headers.count(name) != 0; }
};

inline CgiAnswer parse_answer(const std::string &out) {
    CgiAnswer a;
    a.raw = out;
    const size_t split = out.find("\r\n\r\n");
    if (split == std::string::npos) return a;
    a.body = out.substr(split + 4);
    size_t at = 0;
    while (at < split) {
        size_t eol = out.find("\r\n", at);
        if (eol == std::string::npos || eol > split) eol = split;
        const std::string line = out.substr(at, eol - at);
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) a.headers[line.substr(0, colon)] = line.substr(colon + 2);
        at = eol + 2;
    }
    a.status = std::atoi(a.header("Status").c_str());
    return a;
}

inline std::string digest_of(const std::string &data) { return "sha256:" + bvtest::sha256_hex(data); }

// A storage tree of its own per test. Blobs are seeded in-process through the engine, which is
// left uninitialised again before the programs run on the same tree.
class BlobStore : public ::testing::Test {
protected:
    void SetUp() override { bvtest::make_storage_tree(root_.path()); }
    void TearDown() override { reg_storage_cleanup(); }

    void seed(const std::string &repo, const std::string &data, const std::string &root_path = {},
              const std::string &algorithm = "sha256") {
        const std::string root = root_path.empty() ? root_.str() : root_path;
        ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
        const std::string digest = bvtest::digest_in(algorithm, data);
        char uuid[40] = {};
        char out[REG_DIGEST_SIZE] = {};
        ASSERT_EQ(reg_blob_start_upload(uuid), 0) << reg_storage_last_error();
        ASSERT_EQ(reg_blob_append_chunk(uuid, data.data(), data.size()), 0) << reg_storage_last_error();
        ASSERT_EQ(reg_blob_finish_upload(uuid, digest.c_str(), out), 0) << reg_storage_last_error();
        ASSERT_EQ(reg_blob_link(repo.c_str(), digest.c_str()), 0) << reg_storage_last_error();
        reg_storage_cleanup();
    }

    // One request to `program`: the CGI variables, then `extra` on top (nullopt removes).
    CgiAnswer run(const std::string &program, const std::string &method, const std::string &path,
                  const std::string &query = {}, const std::string &body = {},
                  std::vector<bvtest::EnvChange> extra = {}) const {
        std::vector<bvtest::EnvChange> env = {
            {"REQUEST_METHOD", method},
            {"PATH_INFO", path},
            {"QUERY_STRING", query},
            {"CONTENT_LENGTH", std::to_string(body.size())},
            {"REGISTRY_STORAGE_ROOT", root_.str()},
            {"REGISTRY_X_SENDFILE", std::nullopt},
            {"REGISTRY_READ_ONLY", std::nullopt},
            {"HTTP_RANGE", std::nullopt},
            {"HTTP_CONTENT_RANGE", std::nullopt},
            {"POST_BODY_FILE", std::nullopt},
        };
        for (auto &change : extra) env.push_back(std::move(change));
        auto r = bvtest::run_program(bvtest::program_path(program), {}, env, body);
        EXPECT_EQ(r.exit_code, 0) << program << " " << method << " " << path;
        return parse_answer(r.out);
    }

    bvtest::TempDir root_;
};

}  // namespace blobcgi
