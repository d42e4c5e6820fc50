// Verification over planted damage: each case breaks one thing in an otherwise sound tree
// (a flipped byte, a cut blob, a dangling or garbled link, a missing blob) and expects the
// verifier to name exactly the problems that damage causes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/storage/manifest_fixture.h"

namespace {

using namespace manifesttest;

void collect_kind(void *ctx, const char *kind, const char *line) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(kind) + ": " + line);
}

class VerifyTest : public ManifestTest {
protected:
    void build_tree() {
        tagged_ = put("v1", body_);
        const std::string ref =
            image(desc(config_, "application/example.sbom"), {}, kOciManifest,
                  "\"subject\":" + desc(tagged_, kOciManifest, body_.size()) + ",");
        referrer_ = put(digest_of(ref), ref);
        blob512_ = blob("a layer of the other algorithm", "app", "sha512");
    }
    fs::path blob_file(const std::string &digest) const {
        const std::string hex = digest.substr(7);
        return root_.path() / "blobs" / digest.substr(0, 6) / hex.substr(0, 2) / hex;
    }
    fs::path link_file(const std::string &digest) const {
        return repos() / "app" / "_layers" / digest.substr(0, 6) / digest.substr(7) / "link";
    }
    std::vector<std::string> verify(reg_verify_result *res) {
        std::vector<std::string> lines;
        EXPECT_EQ(reg_verify_run(collect_kind, &lines, res), 0) << error();
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    std::string tagged_, referrer_, blob512_;
};

TEST_F(VerifyTest, SoundTreeHasNoProblems) {
    build_tree();
    reg_verify_result res{};
    EXPECT_EQ(verify(&res), std::vector<std::string>{});
    EXPECT_EQ(res.blobs, 3);
    EXPECT_EQ(res.manifests, 2);
    // Three blob links, two revision links, the tag and the referrer link.
    EXPECT_EQ(res.links, 7);
}

struct damage_case {
    const char *name;
    std::function<void()> plant;
    std::vector<std::string> kinds;  // the problems expected, sorted by kind
};

TEST_F(VerifyTest, ReportsEachPlantedDamage) {
    auto flip = [](const fs::path &path) {
        std::string data = bvtest::read_all(path);
        data[0] = static_cast<char>(data[0] ^ 0x01);
        bvtest::write_all(path, data);
    };
    const std::vector<damage_case> cases = {
        {"flipped blob byte", [&, this] { flip(this->blob_file(this->layer_)); },
         {"corrupt-blob"}},
        {"flipped sha512 blob byte", [&, this] { flip(this->blob_file(this->blob512_)); },
         {"corrupt-blob"}},
        {"sha512 blob in the other algorithm's directory",
         [this] {
             const fs::path moved = root_.path() / "blobs" / "sha256" / blob512_.substr(7, 2);
             fs::create_directories(moved);
             fs::rename(blob_file(blob512_), moved / blob512_.substr(7));
         },
         {"dangling-link", "misplaced-blob"}},
        {"truncated blob",
         [this] { fs::resize_file(this->blob_file(this->config_), 3); },
         {"corrupt-blob"}},
        {"flipped manifest byte",
         [&, this] { flip(this->body_file(this->referrer_.substr(7))); },
         {"corrupt-manifest"}},
        {"dangling tag link",
         [this] { bvtest::write_all(this->tag_link("v1"), fake_digest('a')); },
         {"dangling-link"}},
        {"tag link not a digest",
         [this] { bvtest::write_all(this->tag_link("v1"), "latest\n"); },
         {"bad-link"}},
        {"blob link to a missing blob",
         [this] { fs::remove(this->blob_file(this->layer_)); },
         {"dangling-link", "dangling-reference"}},
        {"blob link naming another digest",
         [this] { bvtest::write_all(this->link_file(this->layer_), this->config_); },
         {"bad-link", "dangling-reference"}},
        {"revision link without its manifest",
         [this] {
             const std::string hex = std::string(64, 'b');
             fs::create_directories(this->rev_link(hex).parent_path());
             bvtest::write_all(this->rev_link(hex), "sha256:" + hex);
         },
         {"dangling-link"}},
        {"referrer link without its manifest",
         [this] {
             fs::remove(this->body_file(this->referrer_.substr(7)));
             fs::remove(this->ct_file(this->referrer_.substr(7)));
         },
         {"dangling-link", "dangling-link"}},  // its revision link and its referrer link
        {"media type damaged",
         [this] { bvtest::write_all(this->ct_file(this->tagged_.substr(7)), "text/plain"); },
         {"bad-media-type"}},
    };
    for (const damage_case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        ASSERT_TRUE(bvtest::remove_tree(root_.path()));
        SetUp();
        build_tree();
        c.plant();
        reg_verify_result res{};
        const std::vector<std::string> lines = verify(&res);
        std::vector<std::string> kinds;
        for (const std::string &line : lines) kinds.push_back(line.substr(0, line.find(':')));
        EXPECT_EQ(kinds, c.kinds) << ::testing::PrintToString(lines);
        EXPECT_EQ(res.problems, static_cast<int64_t>(c.kinds.size()));
    }
}

TEST_F(VerifyTest, RefusesBeforeInit) {
    reg_storage_cleanup();
    EXPECT_EQ(reg_verify_run(nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(kind(), REG_ERR_NOT_READY);
}

}  // namespace
