// Shared set-up of the manifest, listing and referrers program tests: a fresh storage root seeded
// through the engine, the programs run as the web server runs them, and their answers parsed.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/reg_storage.h"
#include "support/test_support.h"
#include "tests/support/sha256_hex.h"

namespace regcgi {

inline const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
inline const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
inline const char kDockerManifest[] = "application/vnd.docker.distribution.manifest.v2+json";
inline const char kDockerList[] = "application/vnd.docker.distribution.manifest.list.v2+json";

inline std::string digest_of(const std::string &data) { return "sha256:" + bvtest::sha256_hex(data); }
inline std::string digest512_of(const std::string &data) { return "sha512:" + bvtest::sha512_hex(data); }

// One CGI answer split into status, headers (names lower-cased) and body.
struct Answer {
    int status = -1;
    int exit_code = -1;
    std::string head;
    std::map<std::string, std::string> headers;
    std::string body;

    std::string header(const std::string &lower_name) const {
        auto it = headers.find(lower_name);
        return it == headers.end() ? std::string("<none>") : it->second;
    }
    bool has(const std::string &lower_name) const { return headers.count(lower_name) != 0; }
    // The code of the error envelope, "" when the body is no envelope.
    std::string code() const {
        const std::string key = "{\"errors\":[{\"code\":\"";
        if (body.rfind(key, 0) != 0) return "";
        const size_t end = body.find('"', key.size());
        return end == std::string::npos ? "" : body.substr(key.size(), end - key.size());
    }
};

inline Answer parse_answer(const bvtest::ProcessResult &r) {
    Answer a;
    a.exit_code = r.exit_code;
    const size_t split = r.out.find("\r\n\r\n");
    if (split == std::string::npos) {
        a.body = r.out;
        return a;
    }
    a.head = r.out.substr(0, split + 2);
    a.body = r.out.substr(split + 4);
    size_t pos = 0;
    while (pos < a.head.size()) {
        const size_t eol = a.head.find("\r\n", pos);
        const std::string line = a.head.substr(pos, eol - pos);
        pos = eol + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        if (!value.empty() && value[0] == ' ') value.erase(0, 1);
        if (name == "status") a.status = std::atoi(value.c_str());
        a.headers[name] = value;
    }
    return a;
}

// The strings of the first JSON array after `member` in a flat document such as a tag list:
// names here never hold quotes or escapes.
inline std::vector<std::string> json_names(const std::string &doc, const std::string &member) {
    std::vector<std::string> out;
    size_t at = doc.find("\"" + member + "\":[");
    if (at == std::string::npos) return out;
    at = doc.find('[', at) + 1;
    const size_t end = doc.find(']', at);
    while (at < end) {
        const size_t open = doc.find('"', at);
        if (open == std::string::npos || open > end) break;
        const size_t close = doc.find('"', open + 1);
        out.push_back(doc.substr(open + 1, close - open - 1));
        at = close + 1;
    }
    return out;
}

inline size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

struct Request {
    std::string method = "GET";
    std::string path;
    std::string query;
    std::string body;
    std::optional<std::string> content_type;
    // Announced length; nullopt announces the body's own size, "" removes the variable.
    std::optional<std::string> content_length;
    std::vector<bvtest::EnvChange> env;  // further changes to the environment
};

class RegistryCgiTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(reg_storage_init(root_.str().c_str()), 0) << reg_storage_last_error(); }
    void TearDown() override { reg_storage_cleanup(); }

    Answer run(const std::string &program, const Request &req) {
        std::vector<bvtest::EnvChange> env = {
            {"REQUEST_METHOD", req.method},
            {"PATH_INFO", req.path},
            {"QUERY_STRING", req.query},
            {"REGISTRY_STORAGE_ROOT", root_.str()},
            {"REGISTRY_READ_ONLY", std::nullopt},
            {"POST_BODY_FILE", std::nullopt},
            {"CONTENT_TYPE", req.content_type},
        };
        if (!req.content_length) env.emplace_back("CONTENT_LENGTH", std::to_string(req.body.size()));
        else if (req.content_length->empty()) env.emplace_back("CONTENT_LENGTH", std::nullopt);
        else env.emplace_back("CONTENT_LENGTH", *req.content_length);
        env.insert(env.end(), req.env.begin(), req.env.end());
        return parse_answer(bvtest::run_program(bvtest::program_path(program), {}, env, req.body));
    }

    Answer manifests(const std::string &method, const std::string &repo, const std::string &ref,
                     const std::string &body = "", const char *type = kOciManifest) {
        Request req;
        req.method = method;
        req.path = "/v2/" + repo + "/manifests/" + ref;
        req.body = body;
        if (type) req.content_type = type;
        return run("v2_manifests", req);
    }

    // Stores `data` as a blob linked into `repo`; its digest string comes back.
    std::string blob(const std::string &repo, const std::string &data) {
        char uuid[40] = {};
        char digest[REG_DIGEST_SIZE] = {};
        EXPECT_EQ(reg_blob_start_upload(uuid), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_append_chunk(uuid, data.data(), data.size()), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_finish_upload(uuid, digest_of(data).c_str(), digest), 0)
            << reg_storage_last_error();
        EXPECT_EQ(reg_blob_link(repo.c_str(), digest), 0) << reg_storage_last_error();
        return digest;
    }

    // A descriptor member list for a blob of `data` already stored.
    static std::string descriptor(const char *media_type, const std::string &data,
                                  const std::string &extra = "") {
        return "{\"mediaType\":\"" + std::string(media_type) + "\",\"digest\":\"" + digest_of(data) +
               "\",\"size\":" + std::to_string(data.size()) + extra + "}";
    }

    // An OCI image manifest over a config and one layer stored in `repo`; `extra` members go
    // at the end (a subject, an artifactType, annotations).
    std::string image(const std::string &repo, const std::string &seed, const std::string &extra = "",
                      const char *media_type = kOciManifest) {
        const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\",\"seed\":\"" + seed + "\"}";
        const std::string layer = "layer bytes of " + seed;
        blob(repo, config);
        blob(repo, layer);
        const bool docker = std::string(media_type) == kDockerManifest;
        return "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(media_type) + "\",\"config\":" +
               descriptor(docker ? "application/vnd.docker.container.image.v1+json"
                                 : "application/vnd.oci.image.config.v1+json",
                          config) +
               ",\"layers\":[" +
               descriptor(docker ? "application/vnd.docker.image.rootfs.diff.tar.gzip"
                                 : "application/vnd.oci.image.layer.v1.tar",
                          layer) +
               "]" + extra + "}";
    }

    // Stores a manifest through the engine under `ref`; its digest string comes back.
    std::string store(const std::string &repo, const std::string &ref, const std::string &body,
                      const char *type = kOciManifest) {
        char digest[REG_DIGEST_SIZE] = {};
        char subject[REG_DIGEST_SIZE] = {};
        EXPECT_EQ(reg_manifest_store(repo.c_str(), ref.c_str(), body.data(), body.size(), type, digest,
                                     subject),
                  0)
            << reg_storage_last_error();
        return digest;
    }

    bvtest::TempDir root_;
};

}  // namespace regcgi
