// The browsing page in Debian's headless chromium: images pushed with skopeo (a two-platform
// index, a three-layer image) and curl (a signature and an SBOM referring to the image, hostile
// annotations and platforms), 5,000 tags seeded through the engine, then tests/webui/
// browser_test.mjs checks what a person sees. Run by scripts/test-webui.sh, which installs the
// driver; without it (plain ctest) the test is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;
using clienttools::curl;
using ocilayout::descriptor;
using ocilayout::digest_of;

constexpr char kEmptyType[] = "application/vnd.oci.empty.v1+json";
constexpr char kSignatureType[] = "application/vnd.example.signature.v1+json";
constexpr char kSbomType[] = "application/spdx+json";
// What a hostile pusher might store where the page shows text. Each would set window.__pwned
// if the page ever parsed it as markup.
constexpr char kHostileImg[] = "<img src=x onerror=\\\"window.__pwned=1\\\">";
constexpr char kHostileScript[] = "<script>window.__pwned=2</script>";
constexpr char kHostileOs[] = "<b onmouseover=\\\"window.__pwned=3\\\">os</b>";
constexpr int kManyTags = 5000;

const char *env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}

class WebPage : public regtest::RegistryServerTest {
protected:
    void SetUp() override {
        node_dir_ = env_or("BV_WEBUI_NODE_DIR", "");
        if (node_dir_.empty()) GTEST_SKIP() << "scripts/test-webui.sh runs this test with its browser driver";
        ASSERT_TRUE(fs::exists(fs::path(node_dir_) / "node_modules" / "playwright-core")) << node_dir_;
        ASSERT_FALSE(clienttools::find_tool("node").empty()) << "node is not installed";
        ASSERT_FALSE(clienttools::find_tool("skopeo").empty()) << "skopeo is not installed (scripts/deps.sh server)";
        ASSERT_TRUE(fs::exists(chromium())) << chromium() << " is missing (scripts/deps.sh browser)";
        RegistryServerTest::SetUp();
        policy_ = (server_.scratch() / "policy.json").string();
        bvtest::write_all(policy_, "{\"default\":[{\"type\":\"insecureAcceptAnything\"}]}");
        registries_ = (server_.scratch() / "registries.conf").string();
        bvtest::write_all(registries_, "");
        fs::create_directories(server_.scratch() / "tmp");
    }

    static std::string chromium() { return env_or("BV_CHROMIUM", "/usr/bin/chromium"); }
    std::string host() const { return "127.0.0.1:" + std::to_string(port()); }

    void skopeo_copy(const fs::path &layout, const std::string &tag, const std::string &to, bool all) {
        std::vector<std::string> args = {"skopeo", "--policy", policy_, "--tmpdir", (server_.scratch() / "tmp").string(),
                                         "copy", "--dest-tls-verify=false"};
        if (all) args.push_back("--all");
        args.push_back("oci:" + layout.string() + ":" + tag);
        args.push_back("docker://" + host() + "/" + to);
        auto r = clienttools::run_tool(args, {{"CONTAINERS_REGISTRIES_CONF", registries_}});
        ASSERT_EQ(r.exit_code, 0) << clienttools::joined(args) << "\n" << r.out;
    }

    fs::path scratch_file(const std::string &data) {
        const fs::path file = server_.scratch() / ("body-" + std::to_string(++files_));
        bvtest::write_all(file, data);
        return file;
    }
    void curl_blob(const std::string &repo, const std::string &data) {
        auto r = curl(port(), "/v2/" + repo + "/blobs/uploads/?digest=" + digest_of(data),
                      {"-X", "POST", "-H", "Content-Type: application/octet-stream", "--data-binary",
                       "@" + scratch_file(data).string()});
        ASSERT_EQ(r.status, 201) << r.head << r.body;
    }
    void curl_manifest(const std::string &repo, const std::string &ref, const std::string &body, const char *type) {
        auto r = curl(port(), "/v2/" + repo + "/manifests/" + ref,
                      {"-X", "PUT", "-H", std::string("Content-Type: ") + type, "--data-binary",
                       "@" + scratch_file(body).string()});
        ASSERT_EQ(r.status, 201) << ref << ": " << r.head << r.body;
    }

    // An artifact of `type` whose subject is the manifest `subject`, pushed by digest.
    std::string push_referrer(const std::string &repo, const char *type, const std::string &subject,
                              const std::string &payload, const std::string &annotations) {
        curl_blob(repo, "{}");
        curl_blob(repo, payload);
        const std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                 "\",\"artifactType\":\"" + type + "\",\"config\":" + descriptor(kEmptyType, "{}") +
                                 ",\"layers\":[" + descriptor(type, payload) + "],\"subject\":" +
                                 descriptor(ocilayout::kManifestType, subject) + ",\"annotations\":{" +
                                 annotations + "}}";
        curl_manifest(repo, digest_of(body), body, ocilayout::kManifestType);
        return digest_of(body);
    }

    // One manifest tagged kManyTags times, written through the engine without flushes (scratch
    // data): the same tags pushed over HTTP, or flushed one by one, would take most of the
    // test's time budget.
    void seed_many_tags(const std::string &repo) {
        setenv("REGISTRY_DURABLE_WRITES", "0", 1);
        const int ready = reg_storage_init(server_.storage_root().c_str());
        unsetenv("REGISTRY_DURABLE_WRITES");
        ASSERT_EQ(ready, 0) << reg_storage_last_error();
        const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\",\"created\":\"2025-05-05T05:05:05Z\"}";
        const std::string layer = "one small layer";
        for (const std::string *data : {&config, &layer}) {
            char uuid[40] = {};
            char digest[REG_DIGEST_SIZE] = {};
            ASSERT_EQ(reg_blob_start_upload(uuid), 0) << reg_storage_last_error();
            ASSERT_EQ(reg_blob_append_chunk(uuid, data->data(), data->size()), 0) << reg_storage_last_error();
            ASSERT_EQ(reg_blob_finish_upload(uuid, digest_of(*data).c_str(), digest), 0) << reg_storage_last_error();
            ASSERT_EQ(reg_blob_link(repo.c_str(), digest), 0) << reg_storage_last_error();
        }
        const std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                 "\",\"config\":" + descriptor(ocilayout::kConfigType, config) + ",\"layers\":[" +
                                 descriptor(ocilayout::kLayerType, layer) + "]}";
        for (int i = 0; i < kManyTags; ++i) {
            char tag[16];
            std::snprintf(tag, sizeof tag, "t%05d", i);
            char digest[REG_DIGEST_SIZE] = {};
            char subject[REG_DIGEST_SIZE] = {};
            ASSERT_EQ(reg_manifest_store(repo.c_str(), tag, body.data(), body.size(), ocilayout::kManifestType,
                                         digest, subject),
                      0)
                << tag << ": " << reg_storage_last_error();
        }
        reg_storage_cleanup();
    }

    std::string node_dir_;
    std::string policy_;
    std::string registries_;
    int files_ = 0;
};

std::string json_sizes(const std::vector<size_t> &sizes) {
    std::string out = "[";
    for (size_t i = 0; i < sizes.size(); ++i) out += (i ? "," : "") + std::to_string(sizes[i]);
    return out + "]";
}

TEST_F(WebPage, WhatAPersonSees) {
    const auto started = std::chrono::steady_clock::now();
    // A three-layer image with a creation time and annotations, and a two-platform index.
    ocilayout::Layout layout(7);
    std::mt19937_64 rng(11);
    ocilayout::Image app;
    std::string diff_ids;
    for (size_t size : {60000u, 15000u, 3000u}) {
        const std::string tar = ocilayout::tar_of({{"data/" + std::to_string(size), ocilayout::random_bytes(rng, size)}});
        app.layers.push_back(ocilayout::gzip_stored(tar));
        diff_ids += (diff_ids.empty() ? "\"" : ",\"") + digest_of(tar) + "\"";
    }
    app.config = "{\"architecture\":\"amd64\",\"os\":\"linux\",\"created\":\"2026-01-02T03:04:05Z\","
                 "\"rootfs\":{\"type\":\"layers\",\"diff_ids\":[" + diff_ids + "]}}";
    std::string layers;
    size_t app_total = app.config.size();
    std::vector<size_t> layer_sizes;
    for (const auto &l : app.layers) {
        layers += (layers.empty() ? "" : ",") + descriptor(ocilayout::kLayerType, l);
        layer_sizes.push_back(l.size());
        app_total += l.size();
    }
    app.manifest = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) + "\",\"config\":" +
                   descriptor(ocilayout::kConfigType, app.config) + ",\"layers\":[" + layers +
                   "],\"annotations\":{\"org.opencontainers.image.title\":\"demo app\"}}";
    layout.add(app.config);
    for (const auto &l : app.layers) layout.add(l);
    layout.add(app.manifest);
    const ocilayout::Image amd = layout.image("amd64", 1, 20000);
    const ocilayout::Image arm = layout.image("arm64", 2, 9000);
    const std::string index = layout.index_of({{amd, "amd64"}, {arm, "arm64"}});
    const fs::path src = server_.scratch() / "layout";
    layout.write(src, {{"app", {ocilayout::kManifestType, app.manifest}}, {"multi", {ocilayout::kIndexType, index}}});
    ASSERT_NO_FATAL_FAILURE(skopeo_copy(src, "app", "lib/app:v1", false));
    ASSERT_NO_FATAL_FAILURE(skopeo_copy(src, "multi", "lib/multi:v1", true));
    auto image_total = [](const ocilayout::Image &img) {
        size_t total = img.config.size();
        for (const auto &l : img.layers) total += l.size();
        return total;
    };

    // A signature and an SBOM of the image; the signature's annotation is hostile.
    const std::string signature = push_referrer("lib/app", kSignatureType, app.manifest, "signature bytes",
                                                "\"org.example.signer\":\"" + std::string(kHostileImg) + "\"");
    const std::string sbom = push_referrer("lib/app", kSbomType, app.manifest, "{\"spdxVersion\":\"SPDX-2.3\"}",
                                           "\"org.opencontainers.image.created\":\"2026-02-03T00:00:00Z\"");
    // Hostile text wherever the grammars let it in: annotation keys and values, an image
    // config's platform and time, an index's platform.
    const std::string evil_config = "{\"architecture\":\"" + std::string(kHostileScript) + "\",\"os\":\"linux\","
                                    "\"created\":\"" + std::string(kHostileImg) + "\"}";
    ASSERT_NO_FATAL_FAILURE(curl_blob("lib/app", evil_config));
    const std::string evil = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                             "\",\"config\":" + descriptor(ocilayout::kConfigType, evil_config) + ",\"layers\":[" +
                             descriptor(ocilayout::kLayerType, app.layers[2]) + "],\"annotations\":{\"" +
                             kHostileScript + "\":\"" + kHostileImg + "\"}}";
    ASSERT_NO_FATAL_FAILURE(curl_manifest("lib/app", "x-evil", evil, ocilayout::kManifestType));
    const std::string evil_index = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kIndexType) +
                                   "\",\"manifests\":[" +
                                   descriptor(ocilayout::kManifestType, amd.manifest,
                                              ",\"platform\":{\"architecture\":\"amd64\",\"os\":\"" +
                                                  std::string(kHostileOs) + "\"}") +
                                   "]}";
    ASSERT_NO_FATAL_FAILURE(curl_manifest("lib/multi", "evil-index", evil_index, ocilayout::kIndexType));
    ASSERT_NO_FATAL_FAILURE(seed_many_tags("big/many"));
    const auto elapsed = [&] {
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
    };
    std::printf("registry filled in %lld ms\n", elapsed());

    // The page and its files carry the content policy that makes injected script inert.
    for (const char *path : {"/", "/ui/app.js", "/ui/style.css"}) {
        auto r = curl(port(), path);
        EXPECT_EQ(r.status, 200) << path;
        EXPECT_NE(r.header("Content-Security-Policy").find("script-src 'self'"), std::string::npos) << path << "\n" << r.head;
        EXPECT_EQ(r.header("X-Content-Type-Options"), "nosniff") << path;
    }
    EXPECT_EQ(curl(port(), "/ui/missing.js").status, 404);
    EXPECT_EQ(curl(port(), "/.web/index.html").status, 404);

    std::printf("page files checked at %lld ms\n", elapsed());
    const fs::path shots = env_or("BV_WEBUI_SCREENSHOTS", (fs::path(BV_PROGRAM_DIR).parent_path() / "screenshots").c_str());
    fs::create_directories(shots);
    const std::string facts =
        "{\"base\":\"http://" + host() + "/\",\"host\":\"" + host() + "\",\"screenshots\":\"" + shots.string() +
        "\",\"chromium\":\"" + chromium() + "\",\"app\":\"" + app.digest() + "\",\"appTotal\":" +
        std::to_string(app_total) + ",\"appLayers\":" + json_sizes(layer_sizes) + ",\"multi\":\"" +
        digest_of(index) + "\",\"amdTotal\":" + std::to_string(image_total(amd)) + ",\"armTotal\":" +
        std::to_string(image_total(arm)) + ",\"signature\":\"" + signature + "\",\"sbom\":\"" + sbom +
        "\",\"evil\":\"" + digest_of(evil) + "\",\"manyTags\":" + std::to_string(kManyTags) + "}";
    const fs::path facts_file = server_.scratch() / "facts.json";
    bvtest::write_all(facts_file, facts);

    auto r = clienttools::run_tool({"node", std::string(BV_SOURCE_DIR) + "/tests/webui/browser_test.mjs",
                                    facts_file.string()},
                                   {{"BV_WEBUI_NODE_DIR", node_dir_}});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    std::printf("%sbrowser checks done at %lld ms\n", r.out.c_str(), elapsed());
}

}  // namespace
