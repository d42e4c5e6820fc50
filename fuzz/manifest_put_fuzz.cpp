// Fuzzes manifest storing with arbitrary bodies under a scratch storage root: a refused body
// must leave a known message and nothing on disk, an accepted one must come back byte for
// byte under its digest, and deleting it must remove its files again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

#include "crypto/sha256.h"
#include "storage/reg_storage.h"
#include "tests/support/sha256_hex.h"

namespace {

namespace fs = std::filesystem;

std::string s_scratch;
unsigned s_runs;

void remove_scratch() {
    std::error_code ec;
    fs::remove_all(s_scratch, ec);
}

// One scratch root per process, removed at exit.
void init_once() {
    if (!s_scratch.empty()) return;
    std::string tmpl = (fs::temp_directory_path() / "manifest_put_fuzz.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    s_scratch = tmpl;
    std::atexit(remove_scratch);
    if (reg_storage_init((s_scratch + "/root").c_str()) != 0) std::abort();
}

// Empty revision and tag directories stay behind every delete; start over now and then so
// the disk does not fill.
void recycle_now_and_then() {
    if (++s_runs % 4096 != 0) return;
    std::error_code ec;
    fs::remove_all(s_scratch + "/root", ec);
    if (reg_storage_init((s_scratch + "/root").c_str()) != 0) std::abort();
}

bool known_refusal(const char *message) {
    static const char *const known[] = {
        "manifest JSON parse failed",
        "manifest must be a JSON object",
        "manifest missing valid config.digest",
        "manifest layers must be an array",
    };
    for (const char *k : known)
        if (std::strcmp(message, k) == 0) return true;
    return std::strncmp(message, "manifest layer ", 15) == 0 ||
           std::strncmp(message, "manifest too large", 18) == 0;
}

std::string digest_of(const uint8_t *data, size_t size) { return "sha256:" + bvtest::sha256_hex(data, size); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    init_once();
    recycle_now_and_then();
    const fs::path manifests = fs::path(s_scratch) / "root" / "repositories" / "fuzz" / "repo" / "_manifests";
    const std::string digest = digest_of(data, size);
    const fs::path body_file = manifests / digest.substr(7);

    // An exact-size heap copy, so a read past the body is caught, and a second copy to
    // check that the body is never written to.
    uint8_t *body = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (size) std::memcpy(body, data, size);

    char out[72];
    std::memset(out, 0x5A, sizeof out);
    const int r = reg_manifest_put("fuzz/repo", "latest", body, size, nullptr, out);
    if (size && std::memcmp(body, data, size) != 0) std::abort();
    std::free(body);

    if (r != 0) {
        if (!known_refusal(reg_storage_last_error())) std::abort();
        if (fs::exists(body_file)) std::abort();
        if (out[0] != 0x5A) std::abort();
        return 0;
    }
    if (digest != out) std::abort();

    char media_type[128];
    char got_digest[72];
    const char *got = reg_manifest_get("fuzz/repo", "latest", media_type, got_digest);
    if (!got || std::strlen(got) != size || std::memcmp(got, data, size) != 0) std::abort();
    if (digest != got_digest) std::abort();
    if (std::strcmp(media_type, "application/vnd.docker.distribution.manifest.v2+json") != 0)
        std::abort();

    if (reg_manifest_delete("fuzz/repo", "latest") != 0) std::abort();
    if (fs::exists(body_file) || fs::exists(manifests / (digest.substr(7) + ".ct"))) std::abort();
    return 0;
}
