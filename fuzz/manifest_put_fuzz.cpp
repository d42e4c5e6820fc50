// Fuzzes manifest storing with arbitrary bodies under a scratch storage root that holds two
// linked blobs and one base manifest, so that image manifests, indexes and referrers can all
// be accepted: a refused body must leave a known kind and nothing on disk, an accepted one
// must come back byte for byte under its digest (and among its subject's referrers), and
// deleting it by digest must take its files, its tag and its referrer link again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "crypto/sha256.h"
#include "storage/reg_storage.h"
#include "tests/support/sha256_hex.h"

namespace {

namespace fs = std::filesystem;

constexpr char kRepo[] = "fuzz/repo";

// The blobs the seeds name: the empty descriptor's "{}" and one layer.
const char *const kBlobs[] = {"{}", "fuzz layer\n"};

// sha256 "{}" and "fuzz layer\n"; the seeds name this manifest as a child and a subject.
const std::string kBase =
    R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
    R"("config":{"mediaType":"application/vnd.oci.empty.v1+json","digest":)"
    R"("sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a","size":2},)"
    R"("layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":)"
    R"("sha256:c645868018c1e80ccf803dc607f39b4b02ed98aefaa486b580a5b571f4fe9bd8","size":11}]})";

std::string s_scratch;
unsigned s_runs;

void remove_scratch() {
    std::error_code ec;
    fs::remove_all(s_scratch, ec);
}

std::string digest_of(const void *data, size_t size) {
    return "sha256:" + bvtest::sha256_hex(static_cast<const uint8_t *>(data), size);
}

void store_base() {
    char digest[REG_DIGEST_SIZE];
    if (reg_manifest_put(kRepo, "base", kBase.data(), kBase.size(), nullptr, digest) != 0)
        std::abort();
}

// A fresh root with the blobs and the base manifest.
void make_root() {
    std::error_code ec;
    fs::remove_all(s_scratch + "/root", ec);
    if (reg_storage_init((s_scratch + "/root").c_str()) != 0) std::abort();
    for (const char *content : kBlobs) {
        char uuid[37];
        char digest[REG_DIGEST_SIZE];
        const size_t len = std::strlen(content);
        if (reg_blob_start_upload(uuid) != 0 || reg_blob_append_chunk(uuid, content, len) != 0 ||
            reg_blob_finish_upload(uuid, digest_of(content, len).c_str(), digest) != 0 ||
            reg_blob_link(kRepo, digest) != 0)
            std::abort();
    }
    store_base();
}

// One scratch root per process, removed at exit.
void init_once() {
    if (!s_scratch.empty()) return;
    std::string tmpl = (fs::temp_directory_path() / "manifest_put_fuzz.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    s_scratch = tmpl;
    std::atexit(remove_scratch);
    make_root();
}

// Empty revision, tag and referrer directories stay behind every delete; start over now and
// then so the disk does not fill.
void recycle_now_and_then() {
    if (++s_runs % 4096 == 0) make_root();
}

bool known_refusal(reg_error_kind kind, const char *message) {
    switch (kind) {
        case REG_ERR_MANIFEST_INVALID: return std::strncmp(message, "manifest", 8) == 0;
        case REG_ERR_REFERENCE_UNKNOWN: return std::strncmp(message, "manifest names unknown ", 23) == 0;
        case REG_ERR_TOO_LARGE: return true;
        default: return false;
    }
}

bool among_referrers(const char *subject, const std::string &digest) {
    const char *doc = reg_referrers_json(kRepo, subject, nullptr);
    if (!doc) std::abort();
    return std::strstr(doc, digest.c_str()) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    init_once();
    recycle_now_and_then();
    const fs::path manifests = fs::path(s_scratch) / "root" / "repositories" / "fuzz" / "repo" / "_manifests";
    const std::string digest = digest_of(data, size);
    const fs::path body_file = manifests / digest.substr(7);
    const bool is_base = size == kBase.size() && std::memcmp(data, kBase.data(), size) == 0;

    // An exact-size heap copy, so a read past the body is caught, and a second copy to
    // check that the body is never written to.
    uint8_t *body = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (size) std::memcpy(body, data, size);

    char out[REG_DIGEST_SIZE];
    char subject[REG_DIGEST_SIZE];
    std::memset(out, 0x5A, sizeof out);
    const int r = reg_manifest_store(kRepo, "latest", body, size, nullptr, out, subject);
    if (size && std::memcmp(body, data, size) != 0) std::abort();
    std::free(body);

    if (r != 0) {
        if (!known_refusal(reg_storage_last_error_kind(), reg_storage_last_error())) std::abort();
        if (fs::exists(body_file)) std::abort();
        if (out[0] != 0x5A) std::abort();
        return 0;
    }
    if (digest != out) std::abort();

    std::vector<char> got(REG_MANIFEST_MAX);
    size_t len = 0;
    char media_type[REG_MEDIA_TYPE_SIZE];
    char got_digest[REG_DIGEST_SIZE];
    if (reg_manifest_read(kRepo, "latest", got.data(), got.size(), &len, media_type, got_digest) != 0)
        std::abort();
    if (len != size || std::memcmp(got.data(), data, size) != 0 || digest != got_digest) std::abort();
    static const char *const kTypes[] = {
        "application/vnd.oci.image.manifest.v1+json", "application/vnd.oci.image.index.v1+json",
        "application/vnd.docker.distribution.manifest.v2+json",
        "application/vnd.docker.distribution.manifest.list.v2+json"};
    bool known_type = false;
    for (const char *t : kTypes) known_type |= std::strcmp(media_type, t) == 0;
    if (!known_type) std::abort();
    if (*subject && (!reg_digest_valid(subject) || !among_referrers(subject, digest))) std::abort();

    if (reg_manifest_delete(kRepo, digest.c_str()) != 0) std::abort();
    if (fs::exists(body_file) || fs::exists(manifests / (digest.substr(7) + ".ct"))) std::abort();
    if (fs::exists(manifests / "tags" / "latest" / "current" / "link")) std::abort();
    if (*subject && among_referrers(subject, digest)) std::abort();
    if (is_base) store_base();
    return 0;
}
