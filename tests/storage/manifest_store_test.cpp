// The manifest store on disk: files written by put, served by get and removed by delete;
// several tags on one manifest, retagging, media types, digest references, broken tag links
// and the tag search's answer when the tags directory is too large for one listing.
#include <filesystem>
#include <string>
#include <vector>

#include "manifest_fixture.h"

namespace manifesttest {
namespace {

using std::string;

const string kBody = R"({"config":{"digest":"sha256:)" + string(64, 'a') + "\"}}";
// sha256 of kBody, worked out independently of the engine.
const string kHex = "1a825edfbd412eb7a57c8b94819097c83f9e9eb1164cf5127e34f1809e80a132";

TEST_F(ManifestTest, PutGetDeleteWalkThrough) {
    EXPECT_EQ(put("stable", kBody), "sha256:" + kHex);
    EXPECT_EQ(bvtest::read_all(body_file(kHex)), kBody);
    EXPECT_EQ(bvtest::read_all(ct_file(kHex)), kDefaultType);
    EXPECT_EQ(bvtest::read_all(rev_link(kHex)), "sha256:" + kHex);
    EXPECT_EQ(bvtest::read_all(tag_link("stable")), "sha256:" + kHex);

    for (const string &ref : std::vector<string>{"stable", "sha256:" + kHex}) {
        EXPECT_EQ(get(ref), kBody) << ref;
        EXPECT_EQ(got_type, kDefaultType);
        EXPECT_EQ(got_digest, "sha256:" + kHex);
    }

    EXPECT_EQ(del("stable"), 0) << error();
    for (const fs::path &gone : {tag_link("stable"), body_file(kHex), ct_file(kHex), rev_link(kHex)})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    EXPECT_TRUE(fs::is_directory(tag_link("stable").parent_path()));
    EXPECT_TRUE(fs::is_directory(rev_link(kHex).parent_path()));
    // Atomic writes leave no temporary files behind.
    for (const auto &entry : fs::recursive_directory_iterator(mdir()))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
}

TEST_F(ManifestTest, ManifestStaysWhileAnyTagNamesIt) {
    put("stable", kBody);
    put("beta", kBody);
    EXPECT_EQ(del("stable"), 0);
    EXPECT_EQ(get("beta"), kBody);
    EXPECT_EQ(get("sha256:" + kHex), kBody);

    // By digest, only the revision link goes while beta names it.
    EXPECT_EQ(del("sha256:" + kHex), 0);
    EXPECT_FALSE(fs::exists(rev_link(kHex)));
    EXPECT_EQ(get("beta"), kBody);
    EXPECT_EQ(get("sha256:" + kHex), kBody);

    EXPECT_EQ(del("beta"), 0);
    EXPECT_FALSE(fs::exists(body_file(kHex)));
    EXPECT_FALSE(fs::exists(ct_file(kHex)));
    EXPECT_EQ(get("sha256:" + kHex), "<null>");
    EXPECT_EQ(error(), "manifest body not found: app@sha256:" + kHex);
}

TEST_F(ManifestTest, RetaggingKeepsTheEarlierManifestByDigest) {
    const string other = manifest();
    put("stable", kBody);
    const string second = put("stable", other);
    EXPECT_EQ(get("stable"), other);
    EXPECT_EQ(got_digest, second);
    EXPECT_EQ(get("sha256:" + kHex), kBody);
}

TEST_F(ManifestTest, MediaTypes) {
    put("t", kBody, "application/x-first");
    EXPECT_EQ(get("t"), kBody);
    EXPECT_EQ(got_type, "application/x-first");
    put("t", kBody, "application/x-second");
    EXPECT_EQ(bvtest::read_all(ct_file(kHex)), "application/x-second");
    put("t", kBody, "");
    EXPECT_EQ(bvtest::read_all(ct_file(kHex)), kDefaultType);

    const string long_type(200, 'm');
    put("t", kBody, long_type.c_str());
    get("t");
    EXPECT_EQ(got_type, long_type.substr(0, 126));

    bvtest::write_all(ct_file(kHex), "");
    get("t");
    EXPECT_EQ(got_type, kDefaultType);
    fs::remove(ct_file(kHex));
    EXPECT_EQ(get("t"), kBody);
    EXPECT_EQ(got_type, kDefaultType);
}

TEST_F(ManifestTest, DigestReferenceStoresUnderTheComputedDigest) {
    for (const string &ref : std::vector<string>{fake_digest('c'), "sha256:", "sha256:not a digest"}) {
        EXPECT_EQ(put(ref, kBody), "sha256:" + kHex) << ref;
        EXPECT_TRUE(fs::exists(body_file(kHex)));
        EXPECT_FALSE(fs::exists(mdir() / "tags"));
    }
    EXPECT_FALSE(fs::exists(body_file(fake_digest('c').substr(7))));
}

TEST_F(ManifestTest, LookupFailuresOfGetAndDelete) {
    put("good", kBody);
    fs::create_directories(tag_link("crlf").parent_path());
    bvtest::write_all(tag_link("crlf"), "sha256:" + kHex + "\n");
    fs::create_directories(tag_link("zero").parent_path());
    bvtest::write_all(tag_link("zero"), "sha256:" + kHex + string(1, '\0') + "x");

    struct Case {
        string repo, ref, message;
    };
    const std::vector<Case> cases = {
        {"a..b", "good", "invalid repository name"},
        {"app", "sha256:" + string(64, 'A'), "invalid digest reference"},
        {"app", "sha256:" + kHex + "0", "invalid digest reference"},
        {"app", "missing", "tag not found: app:missing"},
        {"other", "good", "tag not found: other:good"},
        {"app", "crlf", "corrupt tag link: app:crlf"},
        {"app", "zero", "corrupt tag link: app:zero"},
        {"app", "../tags/good", "invalid tag: ../tags/good"},
        {"app", "good\\..", "invalid tag: good\\.."},
        {"app", "..", "invalid tag: .."},
        {"app", "", "tag not found: app:"},
        {"app", fake_digest('d'), ""},  // get: body not found; delete: nothing to do
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ref);
        EXPECT_EQ(get(c.ref, c.repo), "<null>");
        EXPECT_EQ(got_type, "untouched");
        EXPECT_EQ(got_digest, "untouched");
        EXPECT_EQ(error(), c.message.empty() ? "manifest body not found: app@" + c.ref : c.message);
        EXPECT_EQ(del(c.ref, c.repo), c.message.empty() ? 0 : -1);
        if (!c.message.empty()) {
            EXPECT_EQ(error(), c.message);
        }
    }
    // Nothing was removed, the corrupt links included.
    EXPECT_EQ(get("good"), kBody);
    EXPECT_TRUE(fs::exists(tag_link("crlf")));
    EXPECT_TRUE(fs::exists(rev_link(kHex)));
}

TEST_F(ManifestTest, TagSearchCountsALinkWithTrailingBytes) {
    put("good", kBody);
    fs::create_directories(tag_link("crlf").parent_path());
    bvtest::write_all(tag_link("crlf"), "sha256:" + kHex + "\n");
    EXPECT_EQ(del("good"), 0);
    EXPECT_EQ(get("sha256:" + kHex), kBody);
}

// A tags directory holding more entries than one listing: a tag beyond them may still name the
// manifest, so delete keeps its files. Exactly as many entries as fit are all seen.
TEST_F(ManifestTest, TruncatedTagListingKeepsTheManifest) {
    for (const int dirs : {512, 513}) {
        SCOPED_TRACE(dirs);
        put("sha256:", kBody);
        for (int i = 0; i < dirs; ++i) fs::create_directories(mdir() / "tags" / std::to_string(i));
        EXPECT_EQ(del("sha256:" + kHex), 0);
        EXPECT_EQ(fs::exists(body_file(kHex)), dirs > 512);
        EXPECT_EQ(fs::exists(ct_file(kHex)), dirs > 512);
    }
}

// A file or directory in the way of each step in turn: the step's message, and what the
// earlier steps wrote stays (a body on disk is still served by digest).
TEST_F(ManifestTest, FailedStepsKeepEarlierWrites) {
    struct Case {
        fs::path blocker;
        bool is_dir;
        string message;
        bool body_kept;
    };
    const std::vector<Case> cases = {
        {repos() / "app", false, "mkdirs manifests dir failed", false},
        {body_file(kHex), true, "write manifest body failed", false},
        {ct_file(kHex), true, "write manifest ct failed", true},
        {mdir() / "revisions", false, "mkdirs revision dir failed", true},
        {rev_link(kHex), true, "write revision link failed", true},
        {mdir() / "tags", false, "mkdirs tag dir failed", true},
        {tag_link("t"), true, "write tag link failed", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove_all(repos() / "app");
        fs::create_directories(c.is_dir ? c.blocker : c.blocker.parent_path());
        if (!c.is_dir) bvtest::write_all(c.blocker, "x");
        EXPECT_EQ(put_status("t", kBody), -1);
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(fs::is_regular_file(body_file(kHex)), c.body_kept);
        if (c.body_kept) {
            EXPECT_EQ(get("sha256:" + kHex), kBody);
        }
    }
}

}  // namespace
}  // namespace manifesttest
