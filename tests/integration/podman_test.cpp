// podman against the registry behind lighttpd: an image made here loaded from its OCI layout,
// pushed, removed locally and pulled back. podman keeps its own storage (vfs driver) in the
// test's scratch directory; where podman cannot run at all the test is skipped with its error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;
using clienttools::curl;

class Podman : public regtest::RegistryServerTest {
protected:
    void SetUp() override {
        if (clienttools::find_tool("podman").empty()) GTEST_SKIP() << "podman is not installed";
        RegistryServerTest::SetUp();
        const fs::path s = server_.scratch();
        for (const char *d : {"podman-root", "podman-run", "podman-tmp"}) fs::create_directories(s / d);
        registries_ = (s / "registries.conf").string();
        bvtest::write_all(registries_, "");
        policy_ = (s / "policy.json").string();
        bvtest::write_all(policy_, "{\"default\":[{\"type\":\"insecureAcceptAnything\"}]}");
        storage_conf_ = (s / "storage.conf").string();
        bvtest::write_all(storage_conf_, "[storage]\ndriver = \"vfs\"\nrunroot = \"" + (s / "podman-run").string() +
                                             "\"\ngraphroot = \"" + (s / "podman-root").string() + "\"\n");
        auto info = podman({"info"});
        if (info.exit_code != 0) GTEST_SKIP() << "podman cannot run here: " << info.out;
    }

    bvtest::ProcessResult podman(std::vector<std::string> args) {
        const fs::path s = server_.scratch();
        // No systemd, journald or network set-up: none of them is needed to push and pull.
        args.insert(args.begin(), {"podman", "--root", (s / "podman-root").string(), "--runroot",
                                   (s / "podman-run").string(), "--storage-driver", "vfs", "--tmpdir",
                                   (s / "podman-tmp").string(), "--cgroup-manager", "cgroupfs", "--events-backend",
                                   "file"});
        last_ = clienttools::joined(args);
        return clienttools::run_tool(args, {{"CONTAINERS_REGISTRIES_CONF", registries_},
                                            {"CONTAINERS_STORAGE_CONF", storage_conf_},
                                            {"CONTAINERS_POLICY_JSON", policy_},  // not read by every version
                                            {"XDG_RUNTIME_DIR", (s / "podman-run").string()}});
    }

    std::string registries_;
    std::string policy_;
    std::string storage_conf_;
    std::string last_;
};

TEST_F(Podman, PushAndPullOneImage) {
    ocilayout::Layout layout(7);
    const ocilayout::Image img = layout.image("amd64", 2);
    layout.write(server_.scratch() / "src", {{"v1", {ocilayout::kManifestType, img.manifest}}});
    const std::string target = "127.0.0.1:" + std::to_string(port()) + "/pod/app:v1";

    auto loaded = podman({"pull", "--signature-policy", policy_, "oci:" + (server_.scratch() / "src").string() + ":v1"});
    ASSERT_EQ(loaded.exit_code, 0) << last_ << "\n" << loaded.out;
    auto id = podman({"images", "--no-trunc", "--format", "{{.ID}}"});
    EXPECT_NE(id.out.find(bvtest::sha256_hex(img.config)), std::string::npos) << id.out;

    auto pushed = podman({"push", "--tls-verify=false", "--signature-policy", policy_, ocilayout::digest_of(img.config).substr(7),
                          "docker://" + target});
    ASSERT_EQ(pushed.exit_code, 0) << last_ << "\n" << pushed.out;
    auto got = curl(port(), "/v2/pod/app/manifests/v1");
    EXPECT_EQ(got.status, 200) << got.body;

    auto removed = podman({"rmi", "--all", "--force"});
    EXPECT_EQ(removed.exit_code, 0) << last_ << "\n" << removed.out;
    auto pulled = podman({"pull", "--tls-verify=false", "--signature-policy", policy_, target});
    ASSERT_EQ(pulled.exit_code, 0) << last_ << "\n" << pulled.out;
    auto after = podman({"images", "--no-trunc", "--format", "{{.Repository}}:{{.Tag}} {{.ID}}"});
    EXPECT_NE(after.out.find("pod/app:v1"), std::string::npos) << after.out;
    // The config the registry served is the one made here: podman names images by its digest.
    EXPECT_NE(after.out.find(bvtest::sha256_hex(img.config)), std::string::npos) << after.out;
}

}  // namespace
