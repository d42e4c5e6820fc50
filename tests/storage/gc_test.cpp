// Garbage collection over a tree holding every kind of reference (tags, digest-only manifests,
// index children, configs, layers, subjects and their referrers, a layer fetched elsewhere),
// its grace periods, dry runs, the removal of untagged manifests, and pushes that run in
// other processes while a collection sweeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <chrono>
#include <future>

#include "platform/bv_platform_time.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/storage/manifest_fixture.h"

namespace {

using namespace manifesttest;

// Every file under `dir` made `seconds` older than now.
void age_tree(const fs::path &dir, int64_t seconds) {
    const int64_t when = bv_platform::now_seconds() - seconds;
    for (const std::string &file : bvtest::files_below(dir))
        ASSERT_TRUE(bv_platform::set_mtime((dir / file).string().c_str(), when));
}

// Every regular file below `dir`, by relative path.
std::vector<std::string> tree_files(const fs::path &dir) { return bvtest::files_below(dir); }

void collect_line(void *ctx, const char *kind, const char *line) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(kind) + " " + line);
}

class GcTest : public ManifestTest {
protected:
    // The tree every case starts from; names for the digests go into digests_.
    void build_tree() {
        digests_["config"] = config_;
        digests_["layer"] = layer_;
        digests_["tagged"] = put("v1", body_);

        digests_["dlayer"] = blob("digest-only layer");
        const std::string dbody = image(desc(config_, kOciConfig), {desc(digests_["dlayer"])});
        digests_["digest_only"] = put(digest_of(dbody), dbody);

        digests_["clayer"] = blob("child layer");
        const std::string child = image(desc(config_, kOciConfig), {desc(digests_["clayer"])});
        digests_["child"] = put(digest_of(child), child);
        const std::string idx = index({desc(digests_["child"], kOciManifest, child.size())});
        digests_["index"] = put("multi", idx);

        // A referrer of the tagged image, with a config of its own.
        digests_["rconf"] = blob("{\"sbom\":1}");
        const std::string ref =
            image(desc(digests_["rconf"], "application/example.sbom"), {}, kOciManifest,
                  "\"subject\":" + desc(digests_["tagged"], kOciManifest, body_.size()) + ",");
        digests_["referrer"] = put(digest_of(ref), ref);

        // A layer that is fetched from elsewhere and never stored here.
        const std::string ext =
            image(desc(config_, kOciConfig),
                  {desc(fake_digest('e'), kOciLayer, 5, ",\"urls\":[\"https://example.com/l\"]")});
        digests_["external"] = put("ext", ext);

        // An untagged image nothing names, and a referrer of it.
        digests_["ulayer"] = blob("untagged layer");
        const std::string ubody = image(desc(config_, kOciConfig), {desc(digests_["ulayer"])});
        digests_["untagged"] = put(digest_of(ubody), ubody);
        const std::string uref = image(desc(config_, "application/example.sig"), {},
                                       kOciManifest,
                                       "\"subject\":" +
                                           desc(digests_["untagged"], kOciManifest,
                                                ubody.size()) + ",");
        digests_["untagged_referrer"] = put(digest_of(uref), uref);

        // The same kinds named by sha512 digests: an image tagged in its push by digest, an
        // index child, a referrer, and an image nothing names.
        const std::string body512 = image(desc(config_, kOciConfig), {desc(layer_)}, kOciManifest,
                                          "\"x\":512,");
        const char *tag512[] = {"v512"};
        char tagged512[REG_DIGEST_SIZE] = {};
        EXPECT_EQ(reg_manifest_store_tagged("app", digest512_of(body512).c_str(), body512.data(),
                                            body512.size(), nullptr, tag512, 1, tagged512, nullptr), 0);
        digests_["tagged512"] = tagged512;
        const std::string child512 = image(desc(config_, kOciConfig), {desc(digests_["clayer"])},
                                           kOciManifest, "\"x\":1,");
        digests_["child512"] = put(digest512_of(child512), child512);
        put("multi512", index({desc(digests_["child512"], kOciManifest, child512.size())}));
        const std::string ref512 =
            image(desc(digests_["rconf"], "application/example.sbom"), {}, kOciManifest,
                  "\"subject\":" + desc(digests_["tagged512"], kOciManifest, body512.size()) + ",");
        digests_["referrer512"] = put(digest512_of(ref512), ref512);
        const std::string u512 = image(desc(config_, kOciConfig), {desc(digests_["ulayer"])},
                                       kOciManifest, "\"x\":2,");
        digests_["untagged512"] = put(digest512_of(u512), u512);

        // Garbage: a blob linked but named by no manifest, a blob never linked, and a second
        // repository that links a shared blob without any manifest.
        digests_["orphan"] = blob("orphan");
        digests_["loose"] = blob("loose", "other");
        EXPECT_EQ(reg_blob_unlink("other", digests_["loose"].c_str()), 0);
        // The same two of the other algorithm, which lives in directories of its own.
        digests_["orphan512"] = blob("orphan", "app", "sha512");
        digests_["loose512"] = blob("loose", "other", "sha512");
        EXPECT_EQ(reg_blob_unlink("other", digests_["loose512"].c_str()), 0);
        EXPECT_EQ(reg_blob_link("other", config_.c_str()), 0);

        char uuid[37];
        ASSERT_EQ(reg_upload_start("app", uuid), 0);
        stale_upload_ = std::string(uuid) + ".part";
        bvtest::write_all(root_.path() / "uploads" / "0b6f3f86-8a1d-4d4f-9c39-5d7a2e7a3f10.finish",
                          "claimed long ago");
        // The owner record of an upload a crash took between the removals.
        bvtest::write_all(root_.path() / "uploads" / "5d7a2e7a-3f10-4d4f-9c39-0b6f3f868a1d.repo",
                          "app\n");
    }

    fs::path blob_file(const std::string &digest) const {
        const std::string hex = digest.substr(7);
        return root_.path() / "blobs" / digest.substr(0, 6) / hex.substr(0, 2) / hex;
    }
    fs::path link_file(const std::string &repo, const std::string &digest) const {
        return repos() / repo / "_layers" / digest.substr(0, 6) / digest.substr(7) / "link";
    }

    int gc(bool dry_run, bool untagged, reg_gc_result *res, int64_t grace_blobs = 3600,
           int64_t grace_uploads = 86400) {
        reg_gc_options opts{};
        opts.grace_blobs = grace_blobs;
        opts.grace_uploads = grace_uploads;
        opts.dry_run = dry_run;
        opts.delete_untagged = untagged;
        opts.on_item = collect_line;
        opts.ctx = &lines_;
        return reg_gc_run(&opts, res);
    }

    std::map<std::string, std::string> digests_;
    std::string stale_upload_;
    std::vector<std::string> lines_;
};

// What stays after a collection of the aged tree: a blob file, a manifest body or a link, by
// name, with and without the removal of untagged manifests.
struct keep_case {
    const char *what;  // "blob", "manifest", "link" (in "app"), "other-link"
    const char *name;
    bool kept_plain;
    bool kept_untagged;
};

constexpr keep_case kKeepCases[] = {
    {"blob", "config", true, true},          // named by every image
    {"blob", "layer", true, true},           // a tagged image's layer
    {"blob", "dlayer", true, false},         // the layer of a digest-only image
    {"blob", "clayer", true, true},          // an index child's layer
    {"blob", "rconf", true, true},           // a referrer's config (its subject is tagged)
    {"blob", "ulayer", true, false},         // the layer of an untagged image
    {"blob", "orphan", false, false},        // linked, named by no manifest
    {"blob", "loose", false, false},         // never linked anywhere
    {"blob", "orphan512", false, false},
    {"blob", "loose512", false, false},
    {"manifest", "tagged", true, true},
    {"manifest", "digest_only", true, false},
    {"manifest", "child", true, true},       // untagged, but its index is tagged
    {"manifest", "index", true, true},
    {"manifest", "referrer", true, true},    // untagged, but its subject is kept
    {"manifest", "external", true, true},
    {"manifest", "untagged", true, false},
    {"manifest", "untagged_referrer", true, false},
    {"manifest", "tagged512", true, true},    // its tag holds the sha512 digest
    {"manifest", "child512", true, true},     // a sha512 child of a tagged index
    {"manifest", "referrer512", true, true},  // its sha512 subject is kept
    {"manifest", "untagged512", true, false},
    {"link", "config", true, true},
    {"link", "dlayer", true, false},
    {"link", "orphan", false, false},
    {"link", "orphan512", false, false},
    {"other-link", "config", false, false},  // the blob stays: "app" names it
};

TEST_F(GcTest, MarksEveryKindOfReferenceAndSweepsTheRest) {
    for (const bool untagged : {false, true}) {
        SCOPED_TRACE(untagged ? "delete untagged" : "keep untagged");
        TearDown();
        ASSERT_TRUE(bvtest::remove_tree(root_.path()));
        SetUp();
        digests_.clear();
        build_tree();
        age_tree(root_.path(), 200000);
        reg_gc_result res{};
        ASSERT_EQ(gc(false, untagged, &res), 0) << error();
        EXPECT_EQ(res.failures, 0);
        for (const keep_case &c : kKeepCases) {
            SCOPED_TRACE(std::string(c.what) + " " + c.name);
            const std::string &digest = digests_.at(c.name);
            const std::string what = c.what;
            fs::path path = what == "blob"       ? blob_file(digest)
                            : what == "manifest" ? body_file(digest.substr(7))
                            : what == "link"     ? link_file("app", digest)
                                                 : link_file("other", digest);
            EXPECT_EQ(fs::exists(path), untagged ? c.kept_untagged : c.kept_plain);
        }
        EXPECT_FALSE(fs::exists(root_.path() / "uploads" / stale_upload_));
        EXPECT_TRUE(fs::is_empty(root_.path() / "uploads"));  // owner records with them
        EXPECT_EQ(res.uploads, 2);  // the .part and the stale .finish
        EXPECT_EQ(res.manifests, untagged ? 4 : 0);
        // What was kept still reads whole.
        EXPECT_EQ(get("v1"), body_);
        EXPECT_NE(get("multi"), "<null>");
        reg_verify_result vres{};
        std::vector<std::string> problems;
        ASSERT_EQ(reg_verify_run(collect_line, &problems, &vres), 0);
        EXPECT_EQ(vres.problems, 0) << (problems.empty() ? "" : problems[0]);
    }
}

TEST_F(GcTest, GracePeriodsSpareYoungItems) {
    struct grace_case {
        int64_t age;         // seconds every file is aged by
        bool blobs_go;       // orphan blob and link removed
        bool uploads_go;     // stale upload removed
    };
    const grace_case cases[] = {
        {0, false, false},
        {3599 - 60, false, false},
        {3600 + 60, true, false},
        {86400 + 60, true, true},
    };
    for (const grace_case &c : cases) {
        SCOPED_TRACE("age " + std::to_string(c.age));
        TearDown();
        ASSERT_TRUE(bvtest::remove_tree(root_.path()));
        SetUp();
        digests_.clear();
        build_tree();
        if (c.age > 0) age_tree(root_.path(), c.age);
        reg_gc_result res{};
        ASSERT_EQ(gc(false, true, &res), 0) << error();
        EXPECT_NE(fs::exists(blob_file(digests_["orphan"])), c.blobs_go);
        EXPECT_NE(fs::exists(link_file("app", digests_["orphan"])), c.blobs_go);
        EXPECT_NE(fs::exists(body_file(digests_["untagged"].substr(7))), c.blobs_go);
        EXPECT_NE(fs::exists(root_.path() / "uploads" / stale_upload_), c.uploads_go);
        if (!c.blobs_go) {
            EXPECT_GT(res.spared, 0);
        }
    }
}

TEST_F(GcTest, DryRunListsExactlyWhatARealRunRemoves) {
    for (const bool untagged : {false, true}) {
        SCOPED_TRACE(untagged ? "delete untagged" : "keep untagged");
        TearDown();
        ASSERT_TRUE(bvtest::remove_tree(root_.path()));
        SetUp();
        digests_.clear();
        build_tree();
        age_tree(root_.path(), 200000);
        const std::vector<std::string> before = tree_files(root_.path());
        reg_gc_result dry{};
        lines_.clear();
        ASSERT_EQ(gc(true, untagged, &dry), 0) << error();
        EXPECT_EQ(tree_files(root_.path()), before);
        const std::vector<std::string> listed = lines_;
        lines_.clear();
        reg_gc_result real{};
        ASSERT_EQ(gc(false, untagged, &real), 0) << error();
        EXPECT_EQ(listed, lines_);
        EXPECT_EQ(dry.blobs, real.blobs);
        EXPECT_EQ(dry.blob_bytes, real.blob_bytes);
        EXPECT_EQ(dry.links, real.links);
        EXPECT_EQ(dry.manifests, real.manifests);
        EXPECT_EQ(dry.uploads, real.uploads);
        EXPECT_GT(real.blobs, 0);
        // A second run finds nothing more.
        reg_gc_result again{};
        ASSERT_EQ(gc(false, untagged, &again), 0);
        EXPECT_EQ(again.blobs + again.links + again.manifests + again.uploads, 0);
    }
}

TEST_F(GcTest, UnreadableBodyKeepsTheRepositoryLinks) {
    build_tree();
    // A body that no longer parses might name any blob the repository links.
    bvtest::write_all(body_file(digests_["digest_only"].substr(7)), "{broken");
    age_tree(root_.path(), 200000);
    reg_gc_result res{};
    ASSERT_EQ(gc(false, true, &res), 0) << error();
    EXPECT_TRUE(fs::exists(link_file("app", digests_["orphan"])));
    EXPECT_TRUE(fs::exists(blob_file(digests_["orphan"])));
    EXPECT_TRUE(fs::exists(body_file(digests_["digest_only"].substr(7))));
    EXPECT_FALSE(fs::exists(blob_file(digests_["loose"])));
}

// A body stored before repeated member names were refused: any of the repeats may be the one
// a client reads, so the collector keeps what each names, and the verifier reports the body.
TEST_F(GcTest, RepeatedMembersKeepWhatEachNames) {
    build_tree();
    // Only the second "layers" names the orphan; only the second "subject" is a kept manifest.
    const std::string first = desc(fake_digest('f'), kOciManifest);
    const std::string body =
        image(desc(config_, kOciConfig), {desc(digests_["orphan"])}, kOciManifest,
              "\"subject\":" + first + ",\"layers\":[" + desc(layer_) + "],");
    const std::string repeated = body.substr(0, body.size() - 1) + ",\"subject\":" +
                                 desc(digests_["tagged"], kOciManifest, body_.size()) + "}";
    const std::string hex = hex_of(repeated);
    bvtest::write_all(body_file(hex), repeated);
    bvtest::write_all(ct_file(hex), kOciManifest);
    fs::create_directories(rev_link(hex).parent_path());
    bvtest::write_all(rev_link(hex), "sha256:" + hex);
    age_tree(root_.path(), 200000);
    reg_gc_result res{};
    ASSERT_EQ(gc(false, true, &res), 0) << error();
    EXPECT_TRUE(fs::exists(body_file(hex)));
    EXPECT_TRUE(fs::exists(blob_file(digests_["orphan"])));
    EXPECT_TRUE(fs::exists(link_file("app", digests_["orphan"])));
    EXPECT_FALSE(fs::exists(body_file(digests_["untagged"].substr(7))));
    EXPECT_EQ(get("sha256:" + hex), repeated);  // still served as stored
    std::vector<std::string> problems;
    reg_verify_result vres{};
    ASSERT_EQ(reg_verify_run(collect_line, &problems, &vres), 0);
    EXPECT_EQ(problems, std::vector<std::string>{"duplicate-members manifest app@sha256:" + hex +
                                                 ": body repeats a member name within one object"});
}

TEST_F(GcTest, BlobsParkedByAnInterruptedRunAreSettled) {
    for (const char *algorithm : {"sha256", "sha512"}) {
        SCOPED_TRACE(algorithm);
        const std::string linked = blob("parked and linked", "app", algorithm);
        const std::string loose = blob("parked, no link", "app", algorithm);
        ASSERT_EQ(reg_blob_unlink("app", loose.c_str()), 0);
        auto parked = [&](const std::string &d) { return fs::path(blob_file(d).string() + ".gc"); };
        for (const std::string &d : {linked, loose}) fs::rename(blob_file(d), parked(d));
        reg_gc_result res{};
        ASSERT_EQ(gc(true, false, &res), 0);
        EXPECT_TRUE(fs::exists(parked(linked)));
        EXPECT_TRUE(fs::exists(parked(loose)));
        ASSERT_EQ(gc(false, false, &res), 0);
        // A blob some link names comes back under its name; one nothing names goes.
        EXPECT_TRUE(fs::exists(blob_file(linked)));
        EXPECT_FALSE(fs::exists(parked(linked)));
        EXPECT_FALSE(fs::exists(blob_file(loose)));
        EXPECT_FALSE(fs::exists(parked(loose)));
    }
}

TEST_F(GcTest, RefusesBadOptions) {
    EXPECT_EQ(reg_gc_run(nullptr, nullptr), -1);
    EXPECT_EQ(kind(), REG_ERR_ARGUMENT);
    reg_gc_options opts{};
    opts.grace_blobs = -1;
    EXPECT_EQ(reg_gc_run(&opts, nullptr), -1);
    EXPECT_EQ(kind(), REG_ERR_ARGUMENT);
    reg_storage_cleanup();
    opts.grace_blobs = 0;
    EXPECT_EQ(reg_gc_run(&opts, nullptr), -1);
    EXPECT_EQ(kind(), REG_ERR_NOT_READY);
}

// Pushes in other processes link their blobs, wait, then put the manifest, while this process
// collects again and again with the default grace: every push must go in, and the tree must
// verify clean afterwards, although each collection also removes aged garbage.
TEST_F(GcTest, PushesDuringCollectionsAllSurvive) {
    build_tree();
    age_tree(root_.path(), 200000);
    constexpr int kPushers = 2;
    constexpr int kImages = 15;
    std::atomic<int> running{kPushers};
    std::vector<bvtest::ProcessResult> results(kPushers);
    std::vector<std::thread> pushers;
    for (int p = 0; p < kPushers; ++p)
        pushers.emplace_back([&, p] {
            results[p] = bvtest::run_program(
                bvtest::probe_path("gc_push_probe"),
                {"push", root_.str(), "push" + std::to_string(p), std::to_string(kImages),
                 "s" + std::to_string(p)});
            --running;
        });
    int runs = 0;
    int64_t removed = 0;
    while (running > 0 || runs < 2) {
        reg_gc_result res{};
        EXPECT_EQ(gc(false, true, &res), 0) << error();
        removed += res.blobs + res.links + res.manifests;
        ++runs;
    }
    for (auto &t : pushers) t.join();
    for (int p = 0; p < kPushers; ++p) {
        EXPECT_EQ(results[p].exit_code, 0) << results[p].out;
        for (int i = 0; i < kImages; ++i)
            EXPECT_NE(get("t" + std::to_string(i), "push" + std::to_string(p)), "<null>");
    }
    EXPECT_GT(removed, 0);
    reg_gc_result res{};
    ASSERT_EQ(gc(false, true, &res), 0);
    std::vector<std::string> problems;
    reg_verify_result vres{};
    ASSERT_EQ(reg_verify_run(collect_line, &problems, &vres), 0);
    EXPECT_EQ(vres.problems, 0) << (problems.empty() ? "" : problems[0]);
}

// Pushing blobs again that the repository already has (a finish of stored bytes, a link that
// is there) acknowledges them anew: the collection that follows keeps them for a whole grace
// period, so the manifest that comes next still finds them.
TEST_F(GcTest, BlobsPushedAgainAreKeptAsNew) {
    build_tree();
    age_tree(root_.path(), 200000);
    EXPECT_EQ(blob("orphan"), digests_["orphan"]);  // stored and linked: both claimed again
    char uuid[37];
    char out[REG_DIGEST_SIZE];
    ASSERT_EQ(reg_blob_start_upload(uuid), 0);
    ASSERT_EQ(reg_blob_append_chunk(uuid, "loose", 5), 0);
    ASSERT_EQ(reg_blob_finish_upload(uuid, digests_["loose"].c_str(), out), 0) << error();
    reg_gc_result res{};
    ASSERT_EQ(gc(false, false, &res), 0) << error();
    EXPECT_TRUE(fs::exists(blob_file(digests_["orphan"])));
    EXPECT_TRUE(fs::exists(link_file("app", digests_["orphan"])));
    EXPECT_TRUE(fs::exists(blob_file(digests_["loose"])));
    put("late", image(desc(config_, kOciConfig), {desc(digests_["orphan"])}));
}

// Held open in another process (gc_push_probe "put"), this is the state a writer of the
// repository holds its lock in; every other writer of the repository, the collector too, waits.
struct held_put {
    bvtest::TempDir sync;
    std::future<bvtest::ProcessResult> result;
    held_put(const std::string &root, const std::string &tag, const std::string &body_file,
             bool hold) {
        result = std::async(std::launch::async, [=, dir = sync.str()] {
            return bvtest::run_program(bvtest::probe_path("gc_push_probe"),
                                       {"put", root, "app", tag, body_file, hold ? dir : "none"});
        });
    }
    bool paused() {
        for (int i = 0; i < 60000 && !fs::exists(sync.path() / "paused"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return fs::exists(sync.path() / "paused");
    }
    void go() { bvtest::write_all(sync.path() / "go", "1"); }
    bool done_within(int ms) {
        return result.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    }
};

// The races of writers in one repository, each held open at its worst point: a delete by
// digest while a put by tag has its body but not yet its tag, and a put of a manifest naming
// aged blobs while the collector has read the repository's manifests but removed nothing yet.
// Each later writer waits for the lock, so no tag names a missing manifest and no stored
// manifest misses a blob; the tree verifies clean.
std::string s_held_body_file;
std::unique_ptr<held_put> s_late_put;
std::string s_root_for_hook;

TEST_F(GcTest, WritersOfOneRepositoryTakeTurns) {
    build_tree();
    age_tree(root_.path(), 200000);
    // A delete by digest waits for the put by tag that holds the lock.
    const std::string body = image(desc(config_, kOciConfig), {desc(digests_["dlayer"])});
    const fs::path body_file = root_.path() / "body.json";
    bvtest::write_all(body_file, body);
    {
        held_put held(root_.str(), "moving", body_file.string(), true);
        ASSERT_TRUE(held.paused());
        auto deleted = std::async(std::launch::async, [&] {
            return reg_manifest_delete("app", digests_["digest_only"].c_str());
        });
        EXPECT_NE(deleted.wait_for(std::chrono::milliseconds(300)), std::future_status::ready);
        held.go();
        EXPECT_EQ(held.result.get().out.substr(0, 2), "ok");
        EXPECT_EQ(deleted.get(), 0) << error();
    }
    EXPECT_EQ(get("moving"), "<null>");

    // A put naming an aged, unreferenced link, made while the collector holds the repository.
    const std::string late = image(desc(config_, kOciConfig), {desc(digests_["orphan"])});
    s_held_body_file = (root_.path() / "late.json").string();
    bvtest::write_all(s_held_body_file, late);
    s_root_for_hook = root_.str();
    reg_internal::s_repo_locked_hook = [](const char *operation, const char *repo) {
        if (std::string(operation) != "collect" || std::string(repo) != "app" || s_late_put)
            return;
        s_late_put = std::make_unique<held_put>(s_root_for_hook, "late", s_held_body_file, false);
        EXPECT_FALSE(s_late_put->done_within(300));
    };
    reg_gc_result res{};
    EXPECT_EQ(gc(false, false, &res), 0) << error();
    reg_internal::s_repo_locked_hook = nullptr;
    ASSERT_TRUE(s_late_put);
    const std::string out = s_late_put->result.get().out;
    s_late_put.reset();
    // The collection went first: the link it removed is missing for the put, which is refused.
    EXPECT_EQ(out.substr(0, 8), "fail " + std::to_string(REG_ERR_REFERENCE_UNKNOWN) + " ") << out;
    std::vector<std::string> problems;
    reg_verify_result vres{};
    ASSERT_EQ(reg_verify_run(collect_line, &problems, &vres), 0);
    EXPECT_EQ(vres.problems, 0) << (problems.empty() ? "" : problems[0]);
}

}  // namespace
