// The manifest store on disk: files written by put, served by get and read, removed by delete;
// delete semantics (a tag only itself, a digest the manifest with every tag naming it), digest
// references, media types, lookup failures with their kinds, and the write order under
// failures.
#include <filesystem>
#include <string>
#include <vector>

#include "manifest_fixture.h"

namespace manifesttest {
namespace {

using std::string;

TEST_F(ManifestTest, PutGetReadDeleteWalkThrough) {
    const string hex = hex_of(body_);
    EXPECT_EQ(put("stable", body_), "sha256:" + hex);
    EXPECT_EQ(subject_, "");
    EXPECT_EQ(bvtest::read_all(body_file(hex)), body_);
    EXPECT_EQ(bvtest::read_all(ct_file(hex)), kOciManifest);
    EXPECT_EQ(bvtest::read_all(rev_link(hex)), "sha256:" + hex);
    EXPECT_EQ(bvtest::read_all(tag_link("stable")), "sha256:" + hex);

    for (const string &ref : std::vector<string>{"stable", "sha256:" + hex}) {
        SCOPED_TRACE(ref);
        EXPECT_EQ(get(ref), body_);
        EXPECT_EQ(got_type, kOciManifest);
        EXPECT_EQ(got_digest, "sha256:" + hex);
        string buf(body_.size(), '\0');
        size_t len = 0;
        char type[REG_MEDIA_TYPE_SIZE];
        char digest[REG_DIGEST_SIZE];
        ASSERT_EQ(reg_manifest_read("app", ref.c_str(), buf.data(), buf.size(), &len, type, digest), 0)
            << error();
        EXPECT_EQ(buf.substr(0, len), body_);
        EXPECT_EQ(type, kOciManifest);
        EXPECT_EQ(digest, "sha256:" + hex);
    }
    EXPECT_EQ(reg_manifest_exists("app", ("sha256:" + hex).c_str()), 1);
    EXPECT_EQ(reg_manifest_exists("app", fake_digest('e').c_str()), 0);
    EXPECT_EQ(reg_manifest_exists("other", ("sha256:" + hex).c_str()), 0);
    EXPECT_EQ(reg_manifest_exists("app", "stable"), -1);
    EXPECT_EQ(kind(), REG_ERR_DIGEST_INVALID);

    // A tag delete takes the tag alone.
    EXPECT_EQ(del("stable"), 0) << error();
    EXPECT_FALSE(fs::exists(tag_link("stable")));
    EXPECT_EQ(get("sha256:" + hex), body_);
    // A digest delete takes the manifest.
    EXPECT_EQ(del("sha256:" + hex), 0) << error();
    for (const fs::path &gone : {body_file(hex), ct_file(hex), rev_link(hex)})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    EXPECT_EQ(reg_manifest_exists("app", ("sha256:" + hex).c_str()), 0);
    // Atomic writes leave no temporary files behind.
    for (const auto &entry : fs::recursive_directory_iterator(mdir()))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
}

// A manifest pushed by its sha512 digest is stored, linked and found under that digest; a tag
// put for the same bytes afterwards names it (the link holds the longer digest string), and a
// delete by the sha512 digest takes that tag along.
TEST_F(ManifestTest, Sha512DigestNamesItsOwnManifest) {
    const string hex = hex512_of(body_);
    const string d512 = "sha512:" + hex;
    // Tags passed with a put by digest name that digest; a bad one among them stores nothing.
    const char *bad[] = {"stable", "-bad"};
    char out[REG_DIGEST_SIZE] = {};
    EXPECT_EQ(reg_manifest_store_tagged("app", d512.c_str(), body_.data(), body_.size(), nullptr, bad, 2,
                                        out, nullptr), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_TAG_INVALID);
    EXPECT_FALSE(fs::exists(body_file(hex)));
    const char *tags[] = {"stable", "v1"};
    ASSERT_EQ(reg_manifest_store_tagged("app", d512.c_str(), body_.data(), body_.size(), nullptr, tags, 2,
                                        out, nullptr), 0) << error();
    EXPECT_EQ(out, d512);
    EXPECT_EQ(bvtest::read_all(rev_link(hex)), d512);
    EXPECT_EQ(bvtest::read_all(tag_link("v1")), d512);
    for (const string &ref : {d512, string("stable")}) {
        EXPECT_EQ(get(ref), body_) << ref;
        EXPECT_EQ(got_digest, d512);
    }
    // A put by tag names the body by its sha256 digest, whatever else holds the same bytes.
    EXPECT_EQ(put("latest", body_), digest_of(body_));
    EXPECT_EQ(del(d512), 0) << error();
    EXPECT_FALSE(fs::exists(tag_link("stable")));
    EXPECT_FALSE(fs::exists(body_file(hex)));
    EXPECT_EQ(get("latest"), body_);
}

// Each step from the same start: a manifest pushed by digest with two tags, and another one.
TEST_F(ManifestTest, DeleteSemantics) {
    const string other_body = image(desc(config_, kOciConfig), {});
    struct Step {
        string ref;
        int result;
        reg_error_kind kind;
    };
    struct Case {
        const char *what;
        std::vector<Step> steps;
        bool body_stays;
        std::vector<string> tags_left;
    };
    const string D = digest_of(body_);
    const std::vector<Case> cases = {
        {"last tag of a manifest pushed by digest", {{"stable", 0, REG_OK}, {"beta", 0, REG_OK}}, true,
         {"other"}},
        {"one tag", {{"stable", 0, REG_OK}}, true, {"beta", "other"}},
        {"the digest, with every tag naming it", {{D, 0, REG_OK}}, false, {"other"}},
        {"the digest twice", {{D, 0, REG_OK}, {D, -1, REG_ERR_NOT_FOUND}}, false, {"other"}},
        {"a tag twice", {{"beta", 0, REG_OK}, {"beta", -1, REG_ERR_NOT_FOUND}}, true,
         {"other", "stable"}},
        {"a tag never made", {{"never", -1, REG_ERR_NOT_FOUND}}, true, {"beta", "other", "stable"}},
        {"a digest never stored", {{fake_digest('f'), -1, REG_ERR_NOT_FOUND}}, true,
         {"beta", "other", "stable"}},
        {"a malformed digest", {{"sha256:abc", -1, REG_ERR_DIGEST_INVALID}}, true,
         {"beta", "other", "stable"}},
        {"a malformed tag", {{"-x", -1, REG_ERR_TAG_INVALID}}, true, {"beta", "other", "stable"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(mdir());
        put(D, body_);
        put("stable", body_);
        put("beta", body_);
        put("other", other_body);
        for (const Step &s : c.steps) {
            EXPECT_EQ(del(s.ref), s.result) << s.ref;
            if (s.result != 0) {
                EXPECT_EQ(kind(), s.kind) << s.ref;
            }
        }
        EXPECT_EQ(fs::exists(body_file(hex_of(body_))), c.body_stays);
        EXPECT_EQ(get(D) != "<null>", c.body_stays);
        std::vector<string> tags;
        for (const char *t : {"beta", "other", "stable"})
            if (fs::exists(tag_link(t))) tags.push_back(t);
        EXPECT_EQ(tags, c.tags_left);
        EXPECT_EQ(get("other"), other_body);
    }
}

// An index's children outlive the index's tag, and the children's tags.
TEST_F(ManifestTest, DeletingTagsKeepsIndexChildren) {
    const string child = put(digest_of(body_), body_);
    const string idx = index({desc(child, kOciManifest, static_cast<long long>(body_.size()))});
    put("multi", idx);
    EXPECT_EQ(del("multi"), 0);
    EXPECT_EQ(get(child), body_);
    EXPECT_EQ(get(digest_of(idx)), idx);
    put("multi", idx);  // the child is still there to be named
}

TEST_F(ManifestTest, RetaggingKeepsTheEarlierManifestByDigest) {
    const string other = image(desc(config_, kOciConfig), {});
    put("stable", body_);
    const string second = put("stable", other);
    EXPECT_EQ(get("stable"), other);
    EXPECT_EQ(got_digest, second);
    EXPECT_EQ(get(digest_of(body_)), body_);
}

TEST_F(ManifestTest, MediaTypes) {
    const string plain = image(desc(config_, kOciConfig), {desc(layer_)}, "");
    const string hex = hex_of(plain);
    put("t", plain, kDockerManifest.c_str());
    EXPECT_EQ(get("t"), plain);
    EXPECT_EQ(got_type, kDockerManifest);
    // The same bytes stored again under another type take that type.
    put("t", plain, "application/vnd.oci.image.manifest.v1+json;x=y");
    EXPECT_EQ(bvtest::read_all(ct_file(hex)), kOciManifest);
    put("t", plain, "");
    EXPECT_EQ(bvtest::read_all(ct_file(hex)), kOciManifest);

    // A damaged or missing content-type file: the type the body implies.
    const string idx = index({}, "");
    put("i", idx);
    for (const string &damage : {string(""), string("a\r\nb"), string(300, 'x'), kOciManifest + "\n",
                                 string("application/x-other"), kOciIndex + string(1, '\0') + "x"}) {
        bvtest::write_all(ct_file(hex_of(idx)), damage);
        get("i");
        EXPECT_EQ(got_type, kOciIndex);
    }
    fs::remove(ct_file(hex_of(idx)));
    EXPECT_EQ(get("i"), idx);
    EXPECT_EQ(got_type, kOciIndex);
}

TEST_F(ManifestTest, DigestReferenceMustBeTheBodysDigest) {
    const string hex = hex_of(body_);
    EXPECT_EQ(put("sha256:" + hex, body_), "sha256:" + hex);
    EXPECT_TRUE(fs::exists(body_file(hex)));
    EXPECT_FALSE(fs::exists(mdir() / "tags"));
    const string other = image(desc(config_, kOciConfig), {});
    for (const string &ref : std::vector<string>{"sha256:" + hex, fake_digest('c')}) {
        EXPECT_EQ(put_status(ref, other), -1) << ref;
        EXPECT_EQ(kind(), REG_ERR_DIGEST_INVALID);
        EXPECT_FALSE(fs::exists(body_file(hex_of(other))));
    }
}

TEST_F(ManifestTest, LookupFailuresOfGetReadAndDelete) {
    put("good", body_);
    const string hex = hex_of(body_);
    fs::create_directories(tag_link("crlf").parent_path());
    bvtest::write_all(tag_link("crlf"), "sha256:" + hex + "\n");
    fs::create_directories(tag_link("zero").parent_path());
    bvtest::write_all(tag_link("zero"), "sha256:" + hex + string(1, '\0') + "x");
    fs::create_directories(repos() / "bare");

    struct Case {
        string repo, ref;
        reg_error_kind kind;
        string message;
    };
    const std::vector<Case> cases = {
        {"a..b", "good", REG_ERR_NAME_INVALID, "invalid repository name"},
        {"app", "sha256:" + string(64, 'A'), REG_ERR_DIGEST_INVALID, "invalid digest reference"},
        {"app", "sha256:" + hex + "0", REG_ERR_DIGEST_INVALID, "invalid digest reference"},
        {"app", "md5:abc", REG_ERR_DIGEST_INVALID, "invalid digest reference"},
        {"app", "../tags/good", REG_ERR_TAG_INVALID, "invalid tag: ../tags/good"},
        {"app", "..", REG_ERR_TAG_INVALID, "invalid tag: .."},
        {"app", "", REG_ERR_TAG_INVALID, "empty reference"},
        {"other", "good", REG_ERR_NAME_UNKNOWN, "repository not found: other"},
        {"bare", "good", REG_ERR_NAME_UNKNOWN, "repository not found: bare"},
        {"app", "missing", REG_ERR_NOT_FOUND, "tag not found: app:missing"},
        {"app", "crlf", REG_ERR_IO, "corrupt tag link: app:crlf"},
        {"app", "zero", REG_ERR_IO, "corrupt tag link: app:zero"},
        {"app", fake_digest('d'), REG_ERR_NOT_FOUND, "manifest body not found: app@" + fake_digest('d')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.repo + " " + c.ref);
        EXPECT_EQ(get(c.ref, c.repo), "<null>");
        EXPECT_EQ(got_type, "untouched");
        EXPECT_EQ(got_digest, "untouched");
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(kind(), c.kind);
        char buf[16];
        size_t len = 77;
        char type[REG_MEDIA_TYPE_SIZE] = "untouched";
        char digest[REG_DIGEST_SIZE] = "untouched";
        EXPECT_EQ(reg_manifest_read(c.repo.c_str(), c.ref.c_str(), buf, sizeof buf, &len, type, digest), -1);
        EXPECT_EQ(kind(), c.kind);
        EXPECT_EQ(len, 77u);
        EXPECT_STREQ(type, "untouched");
    }
    // Deletes judge references the same way; a corrupt tag is still a tag that can go.
    for (const Case &c : cases) {
        if (c.kind == REG_ERR_IO || c.kind == REG_ERR_NOT_FOUND) continue;
        SCOPED_TRACE(c.repo + " " + c.ref);
        EXPECT_EQ(del(c.ref, c.repo), -1);
        EXPECT_EQ(kind(), c.kind);
    }
    EXPECT_EQ(get("good"), body_);
    EXPECT_EQ(del("zero"), 0) << error();
    EXPECT_FALSE(fs::exists(tag_link("zero")));
    // A link naming the manifest with a line end after it goes with the manifest.
    EXPECT_EQ(del("sha256:" + hex), 0) << error();
    EXPECT_FALSE(fs::exists(tag_link("crlf")));
    EXPECT_FALSE(fs::exists(tag_link("good")));

    char buf[4];
    size_t len;
    char type[REG_MEDIA_TYPE_SIZE];
    char digest[REG_DIGEST_SIZE];
    EXPECT_EQ(reg_manifest_read("app", "good", nullptr, 4, &len, type, digest), -1);
    EXPECT_EQ(kind(), REG_ERR_ARGUMENT);
    EXPECT_EQ(reg_manifest_read("app", "good", buf, sizeof buf, nullptr, type, digest), -1);
    EXPECT_EQ(kind(), REG_ERR_ARGUMENT);
}

// A file or directory in the way of each step in turn: the step's message, what the earlier
// steps wrote stays, and no tag ever names a body that is not there.
TEST_F(ManifestTest, FailedStepsKeepEarlierWrites) {
    const string hex = hex_of(body_);
    struct Case {
        fs::path blocker;
        bool is_dir;
        string message;
        bool body_kept;
    };
    const std::vector<Case> cases = {
        {mdir(), false, "write manifest ct failed", false},
        {mdir() / "revisions" / "sha256", false, "mkdirs revision dir failed", true},
        {ct_file(hex), true, "write manifest ct failed", false},
        {body_file(hex), true, "write manifest body failed", false},
        {mdir() / "revisions", false, "mkdirs revision dir failed", true},
        {rev_link(hex), true, "write revision link failed", true},
        {mdir() / "tags", false, "mkdirs tag dir failed", true},
        {tag_link("t"), true, "write tag link failed", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove_all(mdir());
        fs::create_directories(c.is_dir ? c.blocker : c.blocker.parent_path());
        if (!c.is_dir) bvtest::write_all(c.blocker, "x");
        EXPECT_EQ(put_status("t", body_), -1);
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(kind(), REG_ERR_IO);
        EXPECT_EQ(fs::is_regular_file(body_file(hex)), c.body_kept);
        if (c.body_kept) {
            EXPECT_EQ(get("sha256:" + hex), body_);
        }
        EXPECT_FALSE(fs::is_regular_file(tag_link("t")));
    }
}

}  // namespace
}  // namespace manifesttest
