// skopeo against the registry behind lighttpd: OCI-layout images made here pushed by tag and by
// digest, inspected, listed and pulled back blob for blob; a two-platform index copied whole; a
// copy between two repositories of the registry; Docker schema 2 conversion; delete by digest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;
using clienttools::curl;
using ocilayout::digest_of;

class Skopeo : public regtest::RegistryServerTest {
protected:
    void SetUp() override {
        ASSERT_FALSE(clienttools::find_tool("skopeo").empty()) << "skopeo is not installed (scripts/deps.sh server)";
        RegistryServerTest::SetUp();
        client_.prepare(server_.scratch());
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port()); }
    std::string remote(const std::string &ref) const { return "docker://" + host() + "/" + ref; }
    fs::path dir(const std::string &name) const { return server_.scratch() / name; }

    bvtest::ProcessResult skopeo(std::vector<std::string> args) { return client_.run(std::move(args)); }
    bvtest::ProcessResult copy(const std::string &from, const std::string &to, std::vector<std::string> extra = {}) {
        return client_.copy(from, to, std::move(extra));
    }

    clienttools::SkopeoRunner client_;
};

#define EXPECT_RUNS(result) EXPECT_EQ((result).exit_code, 0) << client_.last() << "\n" << (result).out

TEST_F(Skopeo, PushByTagAndDigestInspectListAndPullBack) {
    ocilayout::Layout layout(1);
    const ocilayout::Image img = layout.image("amd64", 2);
    layout.write(dir("src"), {{"v1", {ocilayout::kManifestType, img.manifest}}});

    auto pushed = copy("oci:" + dir("src").string() + ":v1", remote("lib/app:v1"));
    ASSERT_EQ(pushed.exit_code, 0) << client_.last() << "\n" << pushed.out;
    auto by_digest = copy("oci:" + dir("src").string() + ":v1", remote("lib/pinned@" + img.digest()));
    EXPECT_RUNS(by_digest);

    // The registry holds the manifest exactly as pushed, under its digest.
    auto got = curl(port(), "/v2/lib/app/manifests/v1");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, img.manifest);
    EXPECT_EQ(got.header("Docker-Content-Digest"), img.digest());
    EXPECT_EQ(curl(port(), "/v2/lib/pinned/manifests/" + img.digest()).body, img.manifest);

    auto inspect = skopeo({"inspect", "--tls-verify=false", remote("lib/app:v1")});
    EXPECT_RUNS(inspect);
    EXPECT_NE(inspect.out.find("\"Digest\": \"" + img.digest() + "\""), std::string::npos) << inspect.out;
    EXPECT_NE(inspect.out.find("\"Architecture\": \"amd64\""), std::string::npos) << inspect.out;
    auto raw = skopeo({"inspect", "--raw", "--tls-verify=false", remote("lib/app:v1")});
    EXPECT_RUNS(raw);
    EXPECT_EQ(raw.out, img.manifest);
    auto config = skopeo({"inspect", "--raw", "--config", "--tls-verify=false", remote("lib/pinned@" + img.digest())});
    EXPECT_EQ(config.out, img.config);

    auto tags = skopeo({"list-tags", "--tls-verify=false", remote("lib/app")});
    EXPECT_RUNS(tags);
    EXPECT_NE(tags.out.find("\"v1\""), std::string::npos) << tags.out;
    auto no_tags = skopeo({"list-tags", "--tls-verify=false", remote("lib/pinned")});
    EXPECT_RUNS(no_tags);
    EXPECT_EQ(no_tags.out.find("\"v1\""), std::string::npos) << no_tags.out;

    EXPECT_RUNS(copy(remote("lib/app:v1"), "oci:" + dir("by-tag").string() + ":v1"));
    clienttools::expect_blobs(dir("by-tag"), img);
    EXPECT_RUNS(copy(remote("lib/pinned@" + img.digest()), "oci:" + dir("by-digest").string() + ":v1"));
    clienttools::expect_blobs(dir("by-digest"), img);
}

TEST_F(Skopeo, CopyAllOfATwoPlatformIndex) {
    ocilayout::Layout layout(2);
    const ocilayout::Image amd = layout.image("amd64", 1);
    const ocilayout::Image arm = layout.image("arm64", 2);
    const std::string index = layout.index_of({{amd, "amd64"}, {arm, "arm64"}});
    layout.write(dir("src"), {{"multi", {ocilayout::kIndexType, index}}});

    auto pushed = copy("oci:" + dir("src").string() + ":multi", remote("lib/multi:v1"), {"--all"});
    ASSERT_EQ(pushed.exit_code, 0) << client_.last() << "\n" << pushed.out;

    auto got = curl(port(), "/v2/lib/multi/manifests/v1");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.header("Content-Type"), ocilayout::kIndexType);
    EXPECT_EQ(got.body, index);
    for (const auto *img : {&amd, &arm}) {
        auto child = curl(port(), "/v2/lib/multi/manifests/" + img->digest(), {"-I"});
        EXPECT_EQ(child.status, 200) << img->digest();
        EXPECT_EQ(child.header("Content-Type"), ocilayout::kManifestType);
    }

    EXPECT_RUNS(copy(remote("lib/multi:v1"), "oci:" + dir("back").string() + ":multi", {"--all"}));
    clienttools::expect_blobs(dir("back"), amd);
    clienttools::expect_blobs(dir("back"), arm);
    EXPECT_EQ(bvtest::read_all(dir("back") / "blobs" / "sha256" / bvtest::sha256_hex(index)), index);
}

TEST_F(Skopeo, CopyBetweenRepositoriesOfTheRegistry) {
    ocilayout::Layout layout(3);
    const ocilayout::Image img = layout.image("amd64", 2, 100000);
    layout.write(dir("src"), {{"v1", {ocilayout::kManifestType, img.manifest}}});
    ASSERT_EQ(copy("oci:" + dir("src").string() + ":v1", remote("team/source:v1")).exit_code, 0) << client_.last();

    // Within one registry the client asks to mount the blobs instead of uploading them again.
    auto moved = copy(remote("team/source:v1"), remote("team/target:v2"), {"--debug"});
    ASSERT_EQ(moved.exit_code, 0) << client_.last() << "\n" << moved.out;
    EXPECT_NE(moved.out.find("mount="), std::string::npos) << "no mount was tried:\n" << moved.out;

    auto got = curl(port(), "/v2/team/target/manifests/v2");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, img.manifest);
    for (const auto &blob : img.layers) {
        auto head = curl(port(), "/v2/team/target/blobs/" + digest_of(blob), {"-I"});
        EXPECT_EQ(head.status, 200) << digest_of(blob);
        EXPECT_EQ(head.header("Content-Length"), std::to_string(blob.size()));
    }
    EXPECT_RUNS(copy(remote("team/target:v2"), "oci:" + dir("back").string() + ":v2"));
    clienttools::expect_blobs(dir("back"), img);
}

TEST_F(Skopeo, ConvertsToDockerSchema2) {
    ocilayout::Layout layout(4);
    const ocilayout::Image img = layout.image("amd64", 1);
    layout.write(dir("src"), {{"v1", {ocilayout::kManifestType, img.manifest}}});
    auto pushed = copy("oci:" + dir("src").string() + ":v1", remote("lib/docker:v1"), {"--format", "v2s2"});
    ASSERT_EQ(pushed.exit_code, 0) << client_.last() << "\n" << pushed.out;
    auto got = curl(port(), "/v2/lib/docker/manifests/v1");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.header("Content-Type"), "application/vnd.docker.distribution.manifest.v2+json");
    EXPECT_NE(got.body.find("application/vnd.docker.image.rootfs.diff.tar.gzip"), std::string::npos) << got.body;
    auto inspect = skopeo({"inspect", "--tls-verify=false", remote("lib/docker:v1")});
    EXPECT_RUNS(inspect);
    EXPECT_NE(inspect.out.find("\"Digest\": \"" + got.header("Docker-Content-Digest") + "\""), std::string::npos)
        << inspect.out;
}

TEST_F(Skopeo, DeleteByDigestRemovesTheManifestAndItsTags) {
    ocilayout::Layout layout(5);
    const ocilayout::Image img = layout.image("amd64", 1);
    layout.write(dir("src"), {{"v1", {ocilayout::kManifestType, img.manifest}}});
    ASSERT_EQ(copy("oci:" + dir("src").string() + ":v1", remote("lib/gone:v1")).exit_code, 0) << client_.last();
    ASSERT_EQ(copy("oci:" + dir("src").string() + ":v1", remote("lib/gone:v2")).exit_code, 0) << client_.last();

    auto deleted = skopeo({"delete", "--tls-verify=false", remote("lib/gone@" + img.digest())});
    EXPECT_RUNS(deleted);
    for (const std::string &ref : {std::string("v1"), std::string("v2"), img.digest()}) {
        auto got = curl(port(), "/v2/lib/gone/manifests/" + ref);
        EXPECT_EQ(got.status, 404) << ref;
        EXPECT_NE(got.body.find("MANIFEST_UNKNOWN"), std::string::npos) << ref << ": " << got.body;
    }
    auto inspect = skopeo({"inspect", "--tls-verify=false", remote("lib/gone:v1")});
    EXPECT_NE(inspect.exit_code, 0) << inspect.out;
    auto tags = skopeo({"list-tags", "--tls-verify=false", remote("lib/gone")});
    EXPECT_EQ(tags.out.find("\"v1\""), std::string::npos) << tags.out;
}

}  // namespace
