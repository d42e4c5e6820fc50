// Pushes images into a storage tree from a process of its own, the way the endpoints do (blobs
// uploaded and linked first, the manifest put last), so a collection can run in between:
//   push ROOT REPO N SEED   N images tagged t0..t(N-1), each with its own config and layer;
//                           prints "ok" or the first failure, exits 0 only when all went in
//   put ROOT REPO TAG BODYFILE SYNC
//                           puts the manifest in BODYFILE under TAG; when SYNC is not "none"
//                           it stops while holding the repository's lock, between the body
//                           and the tag (creates SYNC/paused, waits for SYNC/go); prints
//                           "ok DIGEST" or "fail KIND MESSAGE"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/support/sha256_hex.h"

namespace {

bool push_blob(const std::string &content, const char *repo, std::string *digest) {
    char uuid[37];
    char out[REG_DIGEST_SIZE];
    const std::string want = "sha256:" + bvtest::sha256_hex(content.data(), content.size());
    if (reg_blob_start_upload(uuid) != 0 ||
        reg_blob_append_chunk(uuid, content.data(), content.size()) != 0 ||
        reg_blob_finish_upload(uuid, want.c_str(), out) != 0 || reg_blob_link(repo, out) != 0)
        return false;
    *digest = out;
    return true;
}

std::string desc(const std::string &type, const std::string &digest, size_t size) {
    return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest +
           "\",\"size\":" + std::to_string(size) + "}";
}

std::filesystem::path s_sync_dir;

void hold_put(const char *operation, const char *) {
    if (std::strcmp(operation, "put") != 0) return;
    std::ofstream(s_sync_dir / "paused").put('1');
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(s_sync_dir / "go") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int put_main(char **argv) {
    if (reg_storage_init(argv[2]) != 0) {
        std::printf("fail %d %s\n", reg_storage_last_error_kind(), reg_storage_last_error());
        return 1;
    }
    std::ifstream in(argv[5], std::ios::binary);
    std::stringstream body;
    body << in.rdbuf();
    if (std::strcmp(argv[6], "none") != 0) {
        s_sync_dir = argv[6];
        reg_internal::s_repo_locked_hook = hold_put;
    }
    char digest[REG_DIGEST_SIZE];
    const std::string text = body.str();
    if (reg_manifest_put(argv[3], argv[4], text.data(), text.size(), nullptr, digest) != 0) {
        std::printf("fail %d %s\n", reg_storage_last_error_kind(), reg_storage_last_error());
        return 1;
    }
    std::printf("ok %s\n", digest);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 7 && std::strcmp(argv[1], "put") == 0) return put_main(argv);
    if (argc != 6 || std::strcmp(argv[1], "push") != 0) {
        std::printf("usage: push ROOT REPO N SEED | put ROOT REPO TAG BODYFILE SYNC\n");
        return 2;
    }
    if (reg_storage_init(argv[2]) != 0) {
        std::printf("init failed: %s\n", reg_storage_last_error());
        return 1;
    }
    const char *repo = argv[3];
    const long n = std::atol(argv[4]);
    for (long i = 0; i < n; ++i) {
        const std::string tag = "t" + std::to_string(i);
        const std::string config = "{\"seed\":\"" + std::string(argv[5]) + tag + "\"}";
        const std::string layer = std::string("layer ") + argv[5] + tag;
        std::string config_digest, layer_digest;
        if (!push_blob(config, repo, &config_digest) || !push_blob(layer, repo, &layer_digest)) {
            std::printf("blob %ld failed: %s\n", i, reg_storage_last_error());
            return 1;
        }
        // The window a collection may fall into: blobs linked, manifest not yet there.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::string body =
            "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
            "\"config\":" +
            desc("application/vnd.oci.image.config.v1+json", config_digest, config.size()) +
            ",\"layers\":[" +
            desc("application/vnd.oci.image.layer.v1.tar", layer_digest, layer.size()) + "]}";
        char digest[REG_DIGEST_SIZE];
        if (reg_manifest_put(repo, tag.c_str(), body.data(), body.size(), nullptr, digest) != 0) {
            std::printf("manifest %ld failed: %s\n", i, reg_storage_last_error());
            return 1;
        }
    }
    std::printf("ok\n");
    return 0;
}
