// Seeds a storage root for the manifest benchmarks: a config and a layer blob linked into one
// repository and an OCI image manifest over them under one tag, stored through the engine.
// Usage: manifest_seed ROOT REPOSITORY TAG; prints the manifest's digest.
#include <cstdio>
#include <string>

#include "storage/reg_storage.h"
#include "tests/support/sha256_hex.h"

namespace {

std::string digest_of(const std::string &data) { return "sha256:" + bvtest::sha256_hex(data); }

bool store_blob(const char *repo, const std::string &data) {
    char uuid[40] = {};
    char digest[REG_DIGEST_SIZE] = {};
    return reg_blob_start_upload(uuid) == 0 && reg_blob_append_chunk(uuid, data.data(), data.size()) == 0 &&
           reg_blob_finish_upload(uuid, digest_of(data).c_str(), digest) == 0 && reg_blob_link(repo, digest) == 0;
}

std::string descriptor(const char *type, const std::string &data) {
    return "{\"mediaType\":\"" + std::string(type) + "\",\"digest\":\"" + digest_of(data) +
           "\",\"size\":" + std::to_string(data.size()) + "}";
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ROOT REPOSITORY TAG\n", argv[0]);
        return 2;
    }
    const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\",\"rootfs\":{\"type\":\"layers\"}}";
    const std::string layer(4567, 'x');
    const std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                                 "\"config\":" + descriptor("application/vnd.oci.image.config.v1+json", config) +
                                 ",\"layers\":[" + descriptor("application/vnd.oci.image.layer.v1.tar+gzip", layer) + "]}";
    char digest[REG_DIGEST_SIZE] = {};
    char subject[REG_DIGEST_SIZE] = {};
    if (reg_storage_init(argv[1]) != 0 || !store_blob(argv[2], config) || !store_blob(argv[2], layer) ||
        reg_manifest_store(argv[2], argv[3], manifest.data(), manifest.size(),
                           "application/vnd.oci.image.manifest.v1+json", digest, subject) != 0) {
        std::fprintf(stderr, "manifest_seed: %s\n", reg_storage_last_error());
        return 1;
    }
    std::printf("%s\n", digest);
    return 0;
}
