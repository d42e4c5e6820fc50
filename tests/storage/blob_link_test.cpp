// Repository blob links: what linking writes, what the link test answers in each state, links
// of one blob in several repositories, and every refusal with its message and kind.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

#include "blob_fixture.h"
#include "storage/storage_internal.h"

namespace {

using namespace blobtest;

const std::string kUnknownDigest = "sha256:" + std::string(64, '0');

class BlobLinkTest : public BlobTest {
protected:
    fs::path link_file(const std::string &repo, const std::string &digest) const {
        return root_.path() / "repositories" / repo / "_layers" / "sha256" / digest.substr(7) /
               "link";
    }
};

TEST_F(BlobLinkTest, LinkTestAndUnlinkInTwoRepositories) {
    const std::string d = store("layer bytes");
    EXPECT_EQ(reg_blob_linked("one", d.c_str()), 0);
    ASSERT_EQ(reg_blob_link("one", d.c_str()), 0) << last_error();
    ASSERT_EQ(reg_blob_link("two/nested", d.c_str()), 0) << last_error();
    ASSERT_EQ(reg_blob_link("one", d.c_str()), 0) << "linking twice is no failure";

    // The link holds the digest string alone, without a line end.
    EXPECT_EQ(bvtest::read_all(link_file("one", d)), d);
    EXPECT_EQ(bvtest::read_all(link_file("two/nested", d)), d);
    EXPECT_EQ(reg_blob_linked("one", d.c_str()), 1);
    EXPECT_EQ(reg_blob_linked("two/nested", d.c_str()), 1);
    EXPECT_EQ(reg_blob_linked("two\\nested", d.c_str()), 1) << "'\\' separates like '/'";
    EXPECT_EQ(reg_blob_linked("two", d.c_str()), 0);

    ASSERT_EQ(reg_blob_unlink("one", d.c_str()), 0) << last_error();
    EXPECT_EQ(reg_blob_linked("one", d.c_str()), 0);
    EXPECT_FALSE(fs::exists(link_file("one", d).parent_path())) << "its empty directory goes";
    EXPECT_EQ(reg_blob_linked("two/nested", d.c_str()), 1);
    EXPECT_EQ(reg_blob_exists(d.c_str()), 1) << "the bytes stay for garbage collection";

    EXPECT_EQ(reg_blob_unlink("one", d.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);
    EXPECT_EQ(last_error(), "blob not linked in one: " + d);
}

// The link test needs both the link and the stored blob.
TEST_F(BlobLinkTest, LinkTestInEachState) {
    const std::string d = store("some blob");
    const std::string other = store("other blob");
    const struct {
        const char *label;
        std::function<void()> arrange;
        int linked;
    } cases[] = {
        {"linked", [&] { ASSERT_EQ(reg_blob_link("r", d.c_str()), 0); }, 1},
        {"link naming another blob", [&] { bvtest::write_all(link_file("r", d), other); }, 0},
        {"link with a line end", [&] { bvtest::write_all(link_file("r", d), d + "\n"); }, 0},
        {"relinked over a bad link", [&] { ASSERT_EQ(reg_blob_link("r", d.c_str()), 0); }, 1},
        {"blob deleted, link kept", [&] { ASSERT_EQ(reg_blob_delete(d.c_str()), 0); }, 0},
        {"directory where the link belongs",
         [&] {
             fs::remove(link_file("r", d));
             fs::create_directory(link_file("r", d));
             store("some blob");
         },
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        c.arrange();
        EXPECT_EQ(reg_blob_linked("r", d.c_str()), c.linked);
        // The claiming test of a read answers alike, with the size of the blob it found.
        int64_t size = 0;
        EXPECT_EQ(reg_blob_linked_claim("r", d.c_str(), &size), c.linked);
        EXPECT_EQ(size, c.linked == 1 ? 9 : -1);
    }
    // A directory is no link: unlink finds nothing and leaves the directory.
    EXPECT_EQ(reg_blob_unlink("r", d.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);
    EXPECT_TRUE(fs::is_directory(link_file("r", d)));
}

// A read that shows a link claims it once it is older than a minute, so that the collector's
// grace covers the push that follows; a younger link is not written again.
TEST_F(BlobLinkTest, ReadsClaimLinksOlderThanASecond) {
    const struct {
        const char *label;
        int age;  // seconds the link is made older than now
        bool claimed;
    } cases[] = {{"an hour old", 3600, true}, {"seconds old", 10, true}, {"past a minute", 70, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string d = store(std::string("claimed blob ") + c.label);
        ASSERT_EQ(reg_blob_link("r", d.c_str()), 0) << last_error();
        const auto aged = fs::last_write_time(link_file("r", d)) - std::chrono::seconds(c.age);
        fs::last_write_time(link_file("r", d), aged);
        EXPECT_EQ(reg_blob_linked_claim("r", d.c_str(), nullptr), 1);
        EXPECT_EQ(fs::last_write_time(link_file("r", d)) > aged, c.claimed);
    }
}

TEST_F(BlobLinkTest, Refusals) {
    const std::string d = store("abc");
    const char *dd = d.c_str();
    const char *unknown = kUnknownDigest.c_str();
    const std::string upper = "sha256:" + std::string(64, 'A');
    const struct {
        const char *label;
        std::function<int()> run;
        reg_error_kind kind;
        std::string message;
    } cases[] = {
        {"link null name", [&] { return reg_blob_link(nullptr, dd); }, REG_ERR_ARGUMENT,
         "repo_name/digest is NULL"},
        {"unlink null digest", [&] { return reg_blob_unlink("r", nullptr); }, REG_ERR_ARGUMENT,
         "repo_name/digest is NULL"},
        {"linked null digest", [&] { return reg_blob_linked("r", nullptr); }, REG_ERR_ARGUMENT,
         "repo_name/digest is NULL"},
        {"link dot-dot name", [&] { return reg_blob_link("a/../b", dd); }, REG_ERR_NAME_INVALID,
         "invalid repository name"},
        {"unlink empty name", [&] { return reg_blob_unlink("", dd); }, REG_ERR_NAME_INVALID,
         "invalid repository name"},
        {"linked absolute name", [&] { return reg_blob_linked("/etc", dd); },
         REG_ERR_NAME_INVALID, "invalid repository name"},
        {"link upper-case digest", [&] { return reg_blob_link("r", upper.c_str()); },
         REG_ERR_DIGEST_INVALID, "invalid digest"},
        {"linked short digest", [&] { return reg_blob_linked("r", "sha256:abc"); },
         REG_ERR_DIGEST_INVALID, "invalid digest"},
        {"link of a blob not stored", [&] { return reg_blob_link("r", unknown); },
         REG_ERR_NOT_FOUND, "blob not found: " + kUnknownDigest},
        {"unlink without a link", [&] { return reg_blob_unlink("r", dd); }, REG_ERR_NOT_FOUND,
         "blob not linked in r: " + d},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.run(), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), c.kind);
        EXPECT_EQ(last_error(), c.message);
    }
    EXPECT_TRUE(fs::is_empty(root_.path() / "repositories")) << "no refusal wrote anything";

    reg_storage_cleanup();
    for (auto run : {reg_blob_link, reg_blob_unlink, reg_blob_linked}) {
        EXPECT_EQ(run("r", dd), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_READY);
    }
}

// A failed write leaves no link behind: a file where the link directory's parent belongs.
TEST_F(BlobLinkTest, LinkFailsWhenItsDirectoryCannotBeMade) {
    const std::string d = store("abc");
    fs::create_directories(root_.path() / "repositories" / "r" / "_layers");
    bvtest::write_all(root_.path() / "repositories" / "r" / "_layers" / "sha256", "in the way");
    EXPECT_EQ(reg_blob_link("r", d.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_EQ(last_error(), "mkdirs blob link dir failed");
    EXPECT_EQ(reg_blob_linked("r", d.c_str()), 0);
}

}  // namespace

namespace {

// A collection stopped between parking a blob and its last look leaves it parked; the first
// look through a link that names it puts it back, as that last look would have. Unlinked, it
// stays parked for the next collection to settle.
TEST_F(BlobLinkTest, ABlobLeftParkedComesBackThroughItsLink) {
    const std::string d = store("parked bytes");
    const fs::path blob = blob_file(d);
    const fs::path parked = blob.string() + ".gc";
    fs::rename(blob, parked);
    EXPECT_EQ(reg_blob_linked("other", d.c_str()), 0);
    EXPECT_TRUE(fs::exists(parked));
    ASSERT_EQ(reg_blob_link("r", d.c_str()), -1);  // a link claims the blob, which is parked
    fs::rename(parked, blob);
    ASSERT_EQ(reg_blob_link("r", d.c_str()), 0);
    fs::rename(blob, parked);
    EXPECT_EQ(reg_blob_linked("r", d.c_str()), 1);
    EXPECT_TRUE(fs::exists(blob));
    EXPECT_FALSE(fs::exists(parked));
}

}  // namespace
