// What killed programs leave in the tree and the collector must find: temporary files of
// unfinished writes beside bodies, revision, tag, referrer and blob links, uploads and the
// storage's config.json, a media-type file without its body, and link directories left
// without their link.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/bv_platform_time.h"
#include "storage/reg_storage.h"
#include "tests/storage/manifest_fixture.h"

namespace {

using namespace manifesttest;

constexpr char kTemp[] = ".~wf-dead-0";  // the form write_file gives its temporaries

void collect_line(void *ctx, const char *kind, const char *line) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(kind) + " " + line);
}

// What the collection leaves of each planted item, with the tree aged past every grace and not.
struct leftover_case {
    const char *label;
    bool aged;
    bool dry_run;
    bool leftovers_go;
    bool stray_blobs_go;  // the blobs whose link directories lost their link
};

constexpr leftover_case kCases[] = {
    {"aged", true, false, true, true},
    {"aged, dry run", true, true, false, false},
    {"young", false, false, false, false},
};

class GcLeftoversTest : public ManifestTest, public ::testing::WithParamInterface<leftover_case> {
protected:
    void SetUp() override {
        ManifestTest::SetUp();
        tagged_ = put("v1", body_);
        const std::string ref = image(desc(config_, "application/example.sig"), {}, kOciManifest,
                                      "\"subject\":" + desc(tagged_, kOciManifest, body_.size()) + ",");
        referrer_ = put(digest_of(ref), ref);
        lost_ = blob("lost link");
        half_ = blob("half-written link");
        fs::remove(link_file(lost_));                 // an unlink cut short before its rmdir
        fs::rename(link_file(half_), link_dir(half_) / kTemp);  // a link cut short before its rename
        const std::string t = kTemp;
        leftovers_ = {
            mdir() / t,
            rev_link(tagged_.substr(7)).parent_path() / t,
            tag_link("v1").parent_path() / t,
            referrer_link(tagged_.substr(7), referrer_.substr(7)).parent_path() / t,
            link_dir(config_) / t,
            root_.path() / "uploads" / t,
            root_.path() / t,  // config.json's first write, cut short
            ct_file(hex_of("a put cut short before its body")),
            link_dir(half_) / t,
        };
        for (const fs::path &p : leftovers_)
            if (!fs::exists(p)) bvtest::write_all(p, "unfinished");
    }

    fs::path link_dir(const std::string &digest) const {
        return repos() / "app" / "_layers" / "sha256" / digest.substr(7);
    }
    fs::path link_file(const std::string &digest) const { return link_dir(digest) / "link"; }
    fs::path blob_file(const std::string &digest) const {
        const std::string hex = digest.substr(7);
        return root_.path() / "blobs" / "sha256" / hex.substr(0, 2) / hex;
    }

    // Files and directories alike, so a bare link directory ages too.
    void age_everything() {
        const int64_t when = bv_platform::now_seconds() - 200000;
        for (const auto &e : fs::recursive_directory_iterator(root_.path()))
            ASSERT_TRUE(bv_platform::set_mtime(e.path().string().c_str(), when)) << e.path();
    }

    int gc(bool dry_run, reg_gc_result *res) {
        reg_gc_options opts{};
        opts.grace_blobs = 3600;
        opts.grace_uploads = 86400;
        opts.dry_run = dry_run;
        opts.on_item = collect_line;
        opts.ctx = &lines_;
        return reg_gc_run(&opts, res);
    }

    std::string tagged_, referrer_, lost_, half_;
    std::vector<fs::path> leftovers_;
    std::vector<std::string> lines_;
};

TEST_P(GcLeftoversTest, EachLeftoverGoesOncePastItsGrace) {
    const leftover_case &c = GetParam();
    {
        if (c.aged) age_everything();
        lines_.clear();
        reg_gc_result res{};
        ASSERT_EQ(gc(c.dry_run, &res), 0) << error();
        EXPECT_EQ(res.failures, 0);
        for (const fs::path &p : leftovers_) EXPECT_EQ(fs::exists(p), !c.leftovers_go) << p;
        for (const std::string &d : {lost_, half_}) {
            EXPECT_EQ(fs::exists(blob_file(d)), !c.stray_blobs_go) << d;
            EXPECT_EQ(fs::exists(link_dir(d)), !c.stray_blobs_go) << d;
        }
        // A dry run names each leftover a real run removes; a young one is only spared.
        const auto unfinished = std::count_if(lines_.begin(), lines_.end(), [](const std::string &l) {
            return l.rfind("upload unfinished ", 0) == 0;
        });
        EXPECT_EQ(unfinished, c.aged ? static_cast<long>(leftovers_.size()) : 0L);
        EXPECT_EQ(res.uploads, c.aged ? static_cast<int64_t>(leftovers_.size()) : 0);
        if (!c.aged) {
            EXPECT_GE(res.spared, static_cast<int64_t>(leftovers_.size()));
        }

        // What the tree is made of stays whatever the case.
        EXPECT_NE(get("v1"), "<null>");
        EXPECT_NE(get(referrer_), "<null>");
        EXPECT_TRUE(fs::exists(link_file(config_)));
        EXPECT_TRUE(fs::exists(blob_file(config_)));
        EXPECT_TRUE(fs::exists(ct_file(tagged_.substr(7))));
        if (c.leftovers_go) {
            reg_verify_result vres{};
            ASSERT_EQ(reg_verify_run(nullptr, nullptr, &vres), 0);
            EXPECT_EQ(vres.problems, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, GcLeftoversTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<leftover_case> &info) {
                             std::string name = info.param.label;
                             name.erase(std::remove_if(name.begin(), name.end(),
                                                       [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }),
                                        name.end());
                             return name;
                         });

}  // namespace

// Enough unlinked blobs over enough repositories that their last look is one listing of every
// repository's links: all of them go, with the links no manifest names, and no blob is left
// parked.
TEST_F(GcLeftoversTest, ManyRemovalsAreSettledTogether) {
    for (int r = 0; r < 6; ++r) ASSERT_EQ(reg_blob_link(("other" + std::to_string(r)).c_str(), lost_.c_str()), 0);
    std::vector<std::string> loose;
    for (int i = 0; i < 60; ++i) {
        const std::string data = "loose blob " + std::to_string(i);
        loose.push_back(digest_of(data));
        fs::create_directories(blob_file(loose.back()).parent_path());
        bvtest::write_all(blob_file(loose.back()), data);
    }
    age_everything();
    reg_gc_result res{};
    ASSERT_EQ(gc(false, &res), 0) << error();
    EXPECT_EQ(res.failures, 0);
    for (const std::string &d : loose) EXPECT_FALSE(fs::exists(blob_file(d))) << d;
    EXPECT_EQ(res.blobs, 62);  // the loose ones and the blobs of the two broken links
    EXPECT_EQ(res.links, 6);   // the other repositories name it in no manifest
    EXPECT_TRUE(fs::exists(blob_file(config_)));
    for (const auto &e : fs::recursive_directory_iterator(root_.path() / "blobs"))
        EXPECT_NE(e.path().extension(), ".gc") << e.path();
}
