// The Windows build of the endpoint programs serving real clients: lighttpd runs each mingw-built
// .exe through Wine (deploy/lighttpd-wine.conf, deploy/wine-cgi.sh), and skopeo pushes, pulls
// back, lists and deletes images and an index; raw HTTP checks the bytes text-mode I/O would bend.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;
using clienttools::curl;
using ocilayout::digest_of;

// scripts/test-windows.sh names the launcher directory (made by deploy/wine-setup.sh) in
// BV_WINE_BIN_DIR, with BV_WINE and WINEPREFIX set and a wineserver kept running.
std::string wine_bin_dir() {
    const char *dir = std::getenv("BV_WINE_BIN_DIR");
    return dir ? dir : "";
}

class WineRegistry : public regtest::RegistryServerTest {
protected:
    regtest::ServerOptions options() const override {
        regtest::ServerOptions o;
        o.bin_dir = wine_bin_dir();
        o.x_sendfile = false;
        o.extra_configs = {"lighttpd-wine.conf"};
        return o;
    }

    void SetUp() override {
        if (wine_bin_dir().empty())
            GTEST_SKIP() << "runs from scripts/test-windows.sh, which sets BV_WINE_BIN_DIR to the launchers of "
                            "the Windows build";
        for (const char *program : {"v2_ping", "v2_blobs", "v2_uploads", "v2_manifests", "v2_tags", "v2_catalog",
                                    "v2_referrers"}) {
            const fs::path exe = fs::path(wine_bin_dir()) / (std::string(program) + ".exe");
            ASSERT_TRUE(fs::exists(exe)) << exe << " is missing: BV_WINE_BIN_DIR must hold the launchers";
        }
        for (const char *var : {"BV_WINE", "WINEPREFIX"})
            ASSERT_NE(std::getenv(var), nullptr) << var << " must be set for the launchers";
        ASSERT_FALSE(clienttools::find_tool("skopeo").empty()) << "skopeo is not installed (scripts/deps.sh server)";
        RegistryServerTest::SetUp();
        if (HasFatalFailure()) return;
        // A program that Wine cannot start answers 500 through the error handler: say so at once
        // rather than through every client failure after it.
        auto ping = regtest::http(port(), "GET", "/v2/");
        ASSERT_EQ(ping.status, 200) << "the Windows v2_ping.exe did not answer through Wine:\n" << ping.head << ping.body;
        ASSERT_EQ(ping.body, "{}\n");
        client_.prepare(server_.scratch());
    }

    std::string remote(const std::string &ref) const {
        return "docker://127.0.0.1:" + std::to_string(port()) + "/" + ref;
    }
    std::string layout(const std::string &name, const std::string &tag) const {
        return "oci:" + (server_.scratch() / name).string() + ":" + tag;
    }

    bvtest::ProcessResult skopeo(std::vector<std::string> args) { return client_.run(std::move(args)); }
    bvtest::ProcessResult copy(const std::string &from, const std::string &to, std::vector<std::string> extra = {}) {
        return client_.copy(from, to, std::move(extra));
    }

    clienttools::SkopeoRunner client_;
};

#define EXPECT_RUNS(result) EXPECT_EQ((result).exit_code, 0) << client_.last() << "\n" << (result).out
#define ASSERT_RUNS(result) ASSERT_EQ((result).exit_code, 0) << client_.last() << "\n" << (result).out

// The manifest round trip: an image of several layers (one large enough to arrive in many
// writes) pushed under two tags, read back exactly, listed, pulled back and deleted by digest.
TEST_F(WineRegistry, SkopeoPushesListsPullsBackAndDeletesAnImage) {
    ocilayout::Layout src(11);
    const ocilayout::Image img = src.image("amd64", 3, 700000);
    src.write(server_.scratch() / "src", {{"v1", {ocilayout::kManifestType, img.manifest}}});

    ASSERT_RUNS(copy(layout("src", "v1"), remote("lib/app:v1")));
    ASSERT_RUNS(copy(layout("src", "v1"), remote("lib/app:v2")));
    auto got = curl(port(), "/v2/lib/app/manifests/v1");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, img.manifest);
    EXPECT_EQ(got.header("Docker-Content-Digest"), img.digest());
    for (const auto &layer : img.layers) {
        auto head = curl(port(), "/v2/lib/app/blobs/" + digest_of(layer), {"-I"});
        EXPECT_EQ(head.status, 200);
        EXPECT_EQ(head.header("Content-Length"), std::to_string(layer.size()));
    }

    auto tags = skopeo({"list-tags", "--tls-verify=false", remote("lib/app")});
    EXPECT_RUNS(tags);
    EXPECT_NE(tags.out.find("\"v1\""), std::string::npos) << tags.out;
    EXPECT_NE(tags.out.find("\"v2\""), std::string::npos) << tags.out;
    auto raw = skopeo({"inspect", "--raw", "--tls-verify=false", remote("lib/app:v2")});
    EXPECT_RUNS(raw);
    EXPECT_EQ(raw.out, img.manifest);

    EXPECT_RUNS(copy(remote("lib/app:v1"), layout("back", "v1")));
    clienttools::expect_blobs(server_.scratch() / "back", img);

    EXPECT_RUNS(skopeo({"delete", "--tls-verify=false", remote("lib/app@" + img.digest())}));
    for (const std::string &ref : {std::string("v1"), std::string("v2"), img.digest()}) {
        auto gone = curl(port(), "/v2/lib/app/manifests/" + ref);
        EXPECT_EQ(gone.status, 404) << ref;
        EXPECT_NE(gone.body.find("MANIFEST_UNKNOWN"), std::string::npos) << ref << ": " << gone.body;
    }
    auto after = skopeo({"list-tags", "--tls-verify=false", remote("lib/app")});
    EXPECT_EQ(after.out.find("\"v1\""), std::string::npos) << after.out;
}

TEST_F(WineRegistry, SkopeoCopiesATwoPlatformIndexBothWays) {
    ocilayout::Layout src(12);
    const ocilayout::Image amd = src.image("amd64", 2);
    const ocilayout::Image arm = src.image("arm64", 1);
    const std::string index = src.index_of({{amd, "amd64"}, {arm, "arm64"}});
    src.write(server_.scratch() / "src", {{"multi", {ocilayout::kIndexType, index}}});

    ASSERT_RUNS(copy(layout("src", "multi"), remote("lib/multi:v1"), {"--all"}));
    auto got = curl(port(), "/v2/lib/multi/manifests/v1");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.header("Content-Type"), ocilayout::kIndexType);
    EXPECT_EQ(got.body, index);
    for (const auto *img : {&amd, &arm}) {
        auto child = curl(port(), "/v2/lib/multi/manifests/" + img->digest(), {"-I"});
        EXPECT_EQ(child.status, 200) << img->digest();
        EXPECT_EQ(child.header("Content-Type"), ocilayout::kManifestType);
    }

    EXPECT_RUNS(copy(remote("lib/multi:v1"), layout("back", "multi"), {"--all"}));
    clienttools::expect_blobs(server_.scratch() / "back", amd);
    clienttools::expect_blobs(server_.scratch() / "back", arm);
    EXPECT_EQ(bvtest::read_all(server_.scratch() / "back" / "blobs" / "sha256" / bvtest::sha256_hex(index)), index);
}

// Bodies holding what a text-mode stream changes (LF to CR LF, CR LF to LF, input ending at
// 0x1A) and NUL bytes, pushed streamed and chunked (lighttpd spools those whole), read back
// whole and by range; a manifest with CR LF line ends keeps its bytes and so its digest.
TEST_F(WineRegistry, BodiesPassByteForByte) {
    std::mt19937_64 rng(13);
    const std::string lines = "line one\r\nline two\nline three\r\r\n";
    const std::vector<std::pair<const char *, std::string>> bodies = {
        {"line ends", lines},
        {"ctrl-z first", std::string("\x1a") + "after the end of a text file\n"},
        {"ctrl-z inside", "before\n" + std::string("\x1a\x1a\r\n", 4) + std::string(3, '\0') + "after\r"},
        {"random 1 MiB", ocilayout::random_bytes(rng, 1 << 20)},
    };
    for (const auto &[label, body] : bodies) {
        for (const bool chunked : {false, true}) {
            const std::string repo = std::string("bytes/") + (chunked ? "chunked" : "streamed");
            regtest::HttpRequest post;
            post.method = "POST";
            post.path = "/v2/" + repo + "/blobs/uploads/?digest=" + digest_of(body);
            post.body = body;
            post.chunked = chunked;
            post.chunk_size = 1000;
            const std::string what = std::string(label) + (chunked ? ", chunked" : ", streamed");
            auto pushed = regtest::http(port(), post);
            ASSERT_EQ(pushed.status, 201) << what << "\n" << pushed.head << pushed.body;

            auto got = server_.request("GET", "/v2/" + repo + "/blobs/" + digest_of(body));
            EXPECT_EQ(got.status, 200) << what;
            EXPECT_TRUE(got.body == body) << what << ": " << got.body.size() << " bytes came back of " << body.size();
            EXPECT_EQ(got.header("Docker-Content-Digest"), digest_of(body)) << what;
            auto part = server_.request("GET", "/v2/" + repo + "/blobs/" + digest_of(body), {{"Range", "bytes=1-9"}});
            EXPECT_EQ(part.status, 206) << what;
            EXPECT_TRUE(part.body == body.substr(1, 9)) << what;
        }
    }

    const std::string config = "{\"architecture\":\"amd64\",\r\n\"os\":\"linux\"}\r\n";
    const std::string layer = ocilayout::gzip_stored(ocilayout::tar_of({{"f", lines}}));
    for (const std::string &blob : {config, layer})
        ASSERT_EQ(server_.request("POST", "/v2/bytes/crlf/blobs/uploads/?digest=" + digest_of(blob), {}, blob).status, 201);
    const std::string manifest = "{\r\n  \"schemaVersion\": 2,\r\n  \"mediaType\": \"" +
                                 std::string(ocilayout::kManifestType) + "\",\r\n  \"config\": " +
                                 ocilayout::descriptor(ocilayout::kConfigType, config) + ",\r\n  \"layers\": [" +
                                 ocilayout::descriptor(ocilayout::kLayerType, layer) + "]\r\n}\r\n";
    auto put = server_.request("PUT", "/v2/bytes/crlf/manifests/v1", {{"Content-Type", ocilayout::kManifestType}},
                               manifest);
    ASSERT_EQ(put.status, 201) << put.head << put.body;
    EXPECT_EQ(put.header("Docker-Content-Digest"), digest_of(manifest));
    auto got = server_.request("GET", "/v2/bytes/crlf/manifests/v1");
    EXPECT_EQ(got.status, 200);
    EXPECT_TRUE(got.body == manifest) << got.body;
    EXPECT_EQ(got.header("Content-Length"), std::to_string(manifest.size()));
}

// Windows will not replace a file another process holds open: a tag moved back and forth
// while other requests read it, and a blob pushed again while a slow client still pulls it,
// must all succeed, each reader seeing one whole version.
TEST_F(WineRegistry, FilesReplacedWhileOthersReadThem) {
    ocilayout::Layout src(14);
    const ocilayout::Image a = src.image("amd64", 1);
    const ocilayout::Image b = src.image("arm64", 1);
    for (const auto *img : {&a, &b}) {
        for (const std::string &blob : {img->config, img->layers[0]})
            ASSERT_EQ(server_.request("POST", "/v2/race/app/blobs/uploads/?digest=" + digest_of(blob), {}, blob).status, 201);
        ASSERT_EQ(server_.request("PUT", "/v2/race/app/manifests/" + img->digest(), {{"Content-Type", ocilayout::kManifestType}},
                                  img->manifest).status, 201);
    }
    const regtest::Headers typed = {{"Content-Type", ocilayout::kManifestType}};
    ASSERT_EQ(server_.request("PUT", "/v2/race/app/manifests/live", typed, a.manifest).status, 201);

    std::atomic<int> bad_puts{0}, bad_reads{0};
    std::thread writer([&] {
        for (int i = 0; i < 12; ++i)
            if (server_.request("PUT", "/v2/race/app/manifests/live", typed, (i % 2 ? a : b).manifest).status != 201)
                ++bad_puts;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            for (int i = 0; i < 8; ++i) {
                auto got = server_.request("GET", "/v2/race/app/manifests/live");
                if (got.status != 200 || (got.body != a.manifest && got.body != b.manifest)) ++bad_reads;
            }
        });
    writer.join();
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad_puts.load(), 0) << "tag replaces refused while the tag was being read";
    EXPECT_EQ(bad_reads.load(), 0) << "reads of a tag being replaced failed or saw neither version";

    // About four seconds of pull at 256 KiB/s, during which the same blob arrives again, in
    // another repository, and the first repository's link to it goes.
    std::mt19937_64 rng(15);
    const std::string big = ocilayout::random_bytes(rng, 1 << 20);
    ASSERT_EQ(server_.request("POST", "/v2/race/one/blobs/uploads/?digest=" + digest_of(big), {}, big).status, 201);
    bvtest::ProcessResult slow;
    std::thread puller([&] {
        slow = bvtest::run_program("/usr/bin/curl", {"-s", "-S", "--fail", "--limit-rate", "256k", "--max-time", "120",
                                                     "http://127.0.0.1:" + std::to_string(port()) + "/v2/race/one/blobs/" +
                                                         digest_of(big)});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(server_.request("POST", "/v2/race/two/blobs/uploads/?digest=" + digest_of(big), {}, big).status, 201);
    EXPECT_EQ(server_.request("DELETE", "/v2/race/one/blobs/" + digest_of(big)).status, 202);
    puller.join();
    EXPECT_EQ(slow.exit_code, 0);
    EXPECT_TRUE(slow.out == big) << slow.out.size() << " bytes pulled of " << big.size();
    EXPECT_EQ(server_.request("GET", "/v2/race/two/blobs/" + digest_of(big)).body.size(), big.size());
    EXPECT_EQ(server_.request("HEAD", "/v2/race/one/blobs/" + digest_of(big)).status, 404);
}

}  // namespace
