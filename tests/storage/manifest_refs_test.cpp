// What a manifest names must be in its repository before it is stored: configs and layers
// through the repository's blob links (a layer that carries "urls" excepted), an index's
// children as manifests of the same repository. A refused body leaves nothing behind.
#include <filesystem>
#include <string>
#include <vector>

#include "manifest_fixture.h"

namespace manifesttest {
namespace {

using std::string;

TEST_F(ManifestTest, BlobsMustBeLinkedIntoTheRepository) {
    const string elsewhere = blob("only in other", "other");
    const string unlinked = blob("unlinked");
    ASSERT_EQ(reg_blob_unlink("app", unlinked.c_str()), 0) << error();
    const string dropped = blob("linked, then deleted from the store");
    ASSERT_EQ(reg_blob_delete(dropped.c_str()), 0) << error();
    const string cfg = desc(config_, kOciConfig);
    const string urls = R"(,"urls":["https://example.com/layer"])";
    struct Case {
        const char *what;
        string body;
        string missing;  // "" when the body is accepted
    };
    const std::vector<Case> cases = {
        {"config and layer linked", body_, ""},
        {"config never stored", image(desc(fake_digest('c'), kOciConfig), {desc(layer_)}),
         fake_digest('c')},
        {"config linked into another repository", image(desc(elsewhere, kOciConfig), {}), elsewhere},
        {"config unlinked", image(desc(unlinked, kOciConfig), {}), unlinked},
        {"config whose blob is gone", image(desc(dropped, kOciConfig), {}), dropped},
        {"second layer missing", image(cfg, {desc(layer_), desc(fake_digest('d'))}), fake_digest('d')},
        {"foreign layer with urls", image(cfg, {desc(fake_digest('d'), kOciLayer, 5, urls)}), ""},
        {"urls on a layer held elsewhere", image(cfg, {desc(elsewhere, kOciLayer, 5, urls)}), ""},
        {"empty urls are no exemption",
         image(cfg, {desc(fake_digest('d'), kOciLayer, 5, R"(,"urls":[])")}), fake_digest('d')},
        {"urls never excuse the config",
         image(desc(fake_digest('c'), kOciConfig, 5, urls), {}), fake_digest('c')},
        {"Docker layer missing",
         image(desc(config_, "application/vnd.docker.container.image.v1+json"),
               {desc(fake_digest('e'), "application/vnd.docker.image.rootfs.diff.tar.gzip")},
               kDockerManifest),
         fake_digest('e')},
        // The subject is the one descriptor that may name what is not there.
        {"subject never stored",
         image(cfg, {desc(layer_)}, kOciManifest, "\"subject\":" + desc(fake_digest('f'), kOciManifest) + ","),
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(mdir());
        const int result = put_status("t", c.body);
        if (c.missing.empty()) {
            EXPECT_EQ(result, 0) << error();
            EXPECT_EQ(get("t"), c.body);
            continue;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(kind(), REG_ERR_REFERENCE_UNKNOWN);
        EXPECT_EQ(error(), "manifest names unknown blob " + c.missing);
        EXPECT_FALSE(fs::exists(mdir()));
    }
}

TEST_F(ManifestTest, IndexChildrenMustBeManifestsOfTheRepository) {
    const string amd64 = put(digest_of(body_), body_);
    const string arm64_body = image(desc(config_, kOciConfig), {});
    const string arm64 = put("arm64", arm64_body);
    const string foreign_body = image(desc(blob("other cfg", "other"), kOciConfig), {});
    const string foreign = put("x", foreign_body, nullptr, "other");
    const auto entry = [](const string &digest, const string &type = kOciManifest) {
        return desc(digest, type, 10, R"(,"platform":{"architecture":"amd64","os":"linux"})");
    };
    struct Case {
        const char *what;
        string body;
        string missing;
    };
    const std::vector<Case> cases = {
        {"both children here", index({entry(amd64), entry(arm64)}), ""},
        {"a child in another repository", index({entry(amd64), entry(foreign)}), foreign},
        {"a child never stored", index({entry(fake_digest('9'))}), fake_digest('9')},
        {"a blob is no manifest", index({entry(config_)}), config_},
        {"Docker list", index({entry(amd64, kDockerManifest)}, kDockerList), ""},
        {"Docker list missing a child", index({entry(fake_digest('8'), kDockerManifest)}, kDockerList),
         fake_digest('8')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int result = put_status("multi", c.body);
        if (c.missing.empty()) {
            EXPECT_EQ(result, 0) << error();
            continue;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(kind(), REG_ERR_REFERENCE_UNKNOWN);
        EXPECT_EQ(error(), "manifest names unknown manifest " + c.missing);
        EXPECT_FALSE(fs::exists(body_file(hex_of(c.body))));
    }

    // An index of indexes, and a child deleted by digest is no child any more.
    const string inner = put("inner", index({entry(amd64)}));
    EXPECT_EQ(put_status("outer", index({entry(inner, kOciIndex)})), 0) << error();
    ASSERT_EQ(del(arm64), 0) << error();
    EXPECT_EQ(put_status("again", index({entry(amd64), entry(arm64)})), -1);
    EXPECT_EQ(kind(), REG_ERR_REFERENCE_UNKNOWN);
}

}  // namespace
}  // namespace manifesttest
