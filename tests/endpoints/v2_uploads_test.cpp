// The upload program as the web server runs it: chunk offsets and the Content-Range forms,
// bodies of unknown length, every refusal of a PUT, unknown identifiers, and whole-blob POSTs
// and mounts that leave nothing behind when they fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "tests/endpoints/blob_cgi.h"

namespace {

namespace fs = std::filesystem;
using blobcgi::CgiAnswer;
using blobcgi::digest_of;

class UploadProgram : public blobcgi::BlobStore {
protected:
    CgiAnswer call(const std::string &method, const std::string &path, const std::string &query = {},
                   const std::string &body = {}, std::vector<bvtest::EnvChange> extra = {}) const {
        return run("v2_uploads", method, path, query, body, std::move(extra));
    }
    // A new upload of `repo`, holding `data`.
    std::string start(const std::string &repo, const std::string &data = {}) const {
        auto a = call("POST", "/v2/" + repo + "/blobs/uploads/");
        EXPECT_EQ(a.status, 202) << a.raw;
        const std::string uuid = a.header("Docker-Upload-UUID");
        EXPECT_EQ(a.header("Location"), "/v2/" + repo + "/blobs/uploads/" + uuid);
        EXPECT_EQ(a.header("Range"), "0-0");
        EXPECT_EQ(a.header("Content-Length"), "0");
        if (!data.empty()) {
            EXPECT_EQ(call("PATCH", "/v2/" + repo + "/blobs/uploads/" + uuid, {}, data).status, 202);
        }
        return uuid;
    }
    size_t uploads_left() const {
        size_t n = 0;
        if (fs::is_directory(root_.path() / "uploads"))
            for (auto it = fs::directory_iterator(root_.path() / "uploads"); it != fs::directory_iterator(); ++it) ++n;
        return n;
    }
};

// A chunk lands only at the upload's end; the Content-Range forms clients send are all read,
// and a range that disagrees with the body's length is refused like a misplaced one. Every
// refusal reports the real progress and leaves the upload usable, a full disk's too (507, told
// apart from the server's faults).
TEST_F(UploadProgram, ChunksLandOnlyAtTheUploadsEnd) {
    const std::string uuid = start("app", "abcde");
    const std::string path = "/v2/app/blobs/uploads/" + uuid;
    const fs::path part = root_.path() / "uploads" / (uuid + ".part");
    struct Case {
        const char *content_range;
        const char *body;
        int status;
        const char *range;  // Range after the request
        bool full = false;  // every write fails for want of space (where /dev/full exists)
        const char *method = "PATCH";  // or the closing PUT, with the whole blob's digest
    };
    const Case cases[] = {
        {"0-4", "fghij", 416, "0-4"},          // rewrites what is there
        {"6-10", "fghij", 416, "0-4"},         // leaves a gap
        {"5-7", "fghij", 416, "0-4"},          // shorter than the body
        {"5-9x", "fghij", 416, "0-4"},
        {"9-5", "fghij", 416, "0-4"},
        {"-5", "fghij", 416, "0-4"},
        {"5-", "fghij", 416, "0-4"},
        {"5-9", "fghij", 202, "0-9"},
        {"bytes 10-11/*", "kl", 202, "0-11"},
        {"bytes=12-12", "m", 202, "0-12"},
        {"bytes 13-14/15", "no", 202, "0-14"},
        {"", "pq", 507, "", true},
        {"bytes 3-4/15", "no", 416, "0-14", false, "PUT"},  // a closing chunk must land at the end too
    };
    const std::string all = "abcdefghijklmno";
    for (const auto &c : cases) {
        if (c.full) {
            if (!fs::exists("/dev/full")) continue;
            fs::rename(part, part.string() + ".kept");
            fs::create_symlink("/dev/full", part);
        }
        const bool closing = std::string(c.method) == "PUT";
        auto a = call(c.method, path, closing ? "digest=" + digest_of(all) : "", c.body,
                      {{"HTTP_CONTENT_RANGE", std::string(c.content_range)}});
        if (c.full) {
            fs::remove(part);
            fs::rename(part.string() + ".kept", part);
            EXPECT_EQ(a.status, 507) << a.raw;
            EXPECT_EQ(a.body, "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"the registry's storage is full "
                              "(write error appending chunk)\"}]}\n");
            continue;
        }
        EXPECT_EQ(a.status, c.status) << c.content_range << "\n" << a.raw;
        EXPECT_EQ(a.header("Range"), c.range) << c.content_range;
        EXPECT_EQ(a.header("Location"), path) << c.content_range;
        EXPECT_EQ(a.header("Docker-Upload-UUID"), uuid) << c.content_range;
        if (c.status == 416) {
            EXPECT_NE(a.body.find("\"code\":\"BLOB_UPLOAD_INVALID\""), std::string::npos) << c.content_range;
        }
    }
    auto status = call("GET", path);
    EXPECT_EQ(status.status, 204);
    EXPECT_EQ(status.header("Range"), "0-14");
    EXPECT_FALSE(status.has("Content-Length"));

    auto done = call("PUT", path, "digest=" + digest_of(all));
    EXPECT_EQ(done.status, 201) << done.raw;
    EXPECT_EQ(done.header("Location"), "/v2/app/blobs/" + digest_of(all));
    EXPECT_EQ(done.header("Docker-Content-Digest"), digest_of(all));
}

// A web server that passes a chunked body on without its length leaves CONTENT_LENGTH unset:
// the body is what arrives until the input ends, in a PATCH, the closing PUT and a POST.
TEST_F(UploadProgram, BodyWithoutLengthIsReadToItsEnd) {
    const std::vector<bvtest::EnvChange> unset = {{"CONTENT_LENGTH", std::nullopt}};
    const std::string uuid = start("app");
    const std::string path = "/v2/app/blobs/uploads/" + uuid;
    EXPECT_EQ(call("PATCH", path, {}, "first ", unset).header("Range"), "0-5");
    EXPECT_EQ(call("PUT", path, "digest=" + digest_of("first last"), "last", unset).status, 201);

    auto whole = call("POST", "/v2/app/blobs/uploads/", "digest=" + digest_of("in one go"), "in one go", unset);
    EXPECT_EQ(whole.status, 201) << whole.raw;
    EXPECT_EQ(uploads_left(), 0u);
}

// The digest is judged before the last chunk is taken: a refused PUT appends nothing and the
// upload stays. Only a digest that does not match the bytes ends the upload.
TEST_F(UploadProgram, PutRefusesMissingMalformedAndWrongDigests) {
    const std::string uuid = start("app", "stored");
    const std::string path = "/v2/app/blobs/uploads/" + uuid;
    const std::string digest = digest_of("stored more");
    const std::string refused[] = {std::string(), "digest=", "digest=sha256:12", "digest=" + digest.substr(0, 70),
                                   "digest=SHA256:" + digest.substr(7), "mount=" + digest,
                                   "digest=sha512:" + digest.substr(7)};
    for (const std::string &query : refused) {
        auto a = call("PUT", path, query, " more");
        EXPECT_EQ(a.status, 400) << query;
        EXPECT_NE(a.body.find("\"code\":\"DIGEST_INVALID\""), std::string::npos) << query << a.body;
        EXPECT_EQ(call("GET", path).header("Range"), "0-5") << query;
    }
    // Percent-encoded, as some clients send it.
    std::string encoded = digest;
    encoded.replace(6, 1, "%3A");
    // A wrong digest of either algorithm ends the upload.
    const std::string wrong_digests[] = {digest_of("other"), bvtest::digest_in("sha512", "other")};
    const std::string wrong_uploads[] = {path, "/v2/app/blobs/uploads/" + start("app", "stored")};
    for (size_t i = 0; i < std::size(wrong_digests); ++i) {
        auto wrong = call("PUT", wrong_uploads[i], "digest=" + wrong_digests[i], " more");
        EXPECT_EQ(wrong.status, 400) << wrong_digests[i];
        EXPECT_NE(wrong.body.find("\"code\":\"DIGEST_INVALID\""), std::string::npos) << wrong.body;
        EXPECT_EQ(call("GET", wrong_uploads[i]).status, 404) << wrong_digests[i];
    }

    const std::string again = start("app", "stored");
    EXPECT_EQ(call("PUT", "/v2/app/blobs/uploads/" + again, "digest=" + encoded, " more").status, 201);
}

// Whatever is wrong with the identifier, the answer is 404 BLOB_UPLOAD_UNKNOWN.
TEST_F(UploadProgram, UnknownOrMalformedIdentifiersAreUnknownUploads) {
    const std::string uuid = start("app");
    std::string upper = uuid;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string ids[] = {"00000000-0000-0000-0000-000000000000", upper, uuid + "0", uuid.substr(1),
                               "..", "x/../" + uuid, uuid + "/extra", ""};
    for (const std::string &id : ids) {
        for (const char *method : {"GET", "PATCH", "PUT", "DELETE"}) {
            auto a = call(method, "/v2/app/blobs/uploads/" + id, "digest=" + digest_of(""), "x");
            EXPECT_EQ(a.status, 404) << method << " " << id << "\n" << a.raw;
            EXPECT_NE(a.body.find("\"code\":\"BLOB_UPLOAD_UNKNOWN\""), std::string::npos) << method << " " << id;
        }
    }
    EXPECT_EQ(call("DELETE", "/v2/app/blobs/uploads/" + uuid).status, 204);
    EXPECT_EQ(call("DELETE", "/v2/app/blobs/uploads/" + uuid).status, 404);
    EXPECT_EQ(call("POST", "/v2/app/blobs/uploads/" + uuid).status, 405);
}

// An upload belongs to the repository that started it, also when a mount fell back to an
// ordinary upload: through any other repository's path every operation on it is an unknown
// upload that reads, writes and moves nothing, and it still works through its own path.
TEST_F(UploadProgram, UploadsAreUnknownThroughOtherRepositories) {
    auto fell_back = call("POST", "/v2/team/app/blobs/uploads/", "mount=" + digest_of("x") + "&from=team/app");
    ASSERT_EQ(fell_back.status, 202) << fell_back.raw;
    const std::string uuid = fell_back.header("Docker-Upload-UUID");
    const std::string own = "/v2/team/app/blobs/uploads/" + uuid;
    ASSERT_EQ(call("PATCH", own, {}, "data").status, 202);
    const std::string digest = digest_of("data");
    struct Case {
        const char *method;
        std::string query;
        const char *body;
    };
    const Case cases[] = {{"GET", {}, ""},      {"PATCH", {}, "more"},         {"PUT", "digest=" + digest, ""},
                          {"DELETE", {}, ""},   {"PUT", "digest=" + digest_of("datamore"), "more"}};
    for (const char *other : {"other/secret", "team", "team/app/x", "team/ap"}) {
        for (const Case &c : cases) {
            auto a = call(c.method, "/v2/" + std::string(other) + "/blobs/uploads/" + uuid, c.query, c.body);
            EXPECT_EQ(a.status, 404) << c.method << " " << other << "\n" << a.raw;
            EXPECT_NE(a.body.find("\"code\":\"BLOB_UPLOAD_UNKNOWN\""), std::string::npos) << c.method << " " << other;
        }
        EXPECT_EQ(run("v2_blobs", "HEAD", "/v2/" + std::string(other) + "/blobs/" + digest).status, 404) << other;
    }
    EXPECT_EQ(call("GET", own).header("Range"), "0-3");
    EXPECT_EQ(call("PUT", own, "digest=" + digest).status, 201);
    EXPECT_EQ(uploads_left(), 0u);
}

// A whole-blob POST that fails leaves neither an upload nor a blob; a mount needs the blob in
// the source repository and otherwise starts an ordinary upload.
TEST_F(UploadProgram, WholeBlobPostsAndMounts) {
    auto bad = call("POST", "/v2/app/blobs/uploads/", "digest=sha256:00", "body");
    EXPECT_EQ(bad.status, 400);
    auto wrong = call("POST", "/v2/app/blobs/uploads/", "digest=" + digest_of("other"), "body");
    EXPECT_EQ(wrong.status, 400);
    EXPECT_NE(wrong.body.find("\"code\":\"DIGEST_INVALID\""), std::string::npos);
    EXPECT_EQ(uploads_left(), 0u);
    EXPECT_EQ(run("v2_blobs", "HEAD", "/v2/app/blobs/" + digest_of("body")).status, 404);

    for (const std::string &whole : {digest_of("body"), bvtest::digest_in("sha512", "body")}) {
        auto ok = call("POST", "/v2/src/blobs/uploads/", "digest=" + whole, "body");
        EXPECT_EQ(ok.status, 201) << ok.raw;
        EXPECT_EQ(ok.header("Location"), "/v2/src/blobs/" + whole);
        EXPECT_EQ(ok.header("Docker-Content-Digest"), whole);
        EXPECT_EQ(uploads_left(), 0u);
    }

    const std::string digest = digest_of("body");
    const std::string falls_back[] = {"mount=" + digest + "&from=nowhere", "mount=" + digest + "&from=Bad",
                                      "mount=sha256:00&from=src", "mount=" + digest_of("x") + "&from=src",
                                      "mount=" + digest_of("x")};
    for (const std::string &query : falls_back) {
        auto a = call("POST", "/v2/dst/blobs/uploads/", query);
        EXPECT_EQ(a.status, 202) << query;
        EXPECT_EQ(a.header("Range"), "0-0") << query;
        EXPECT_EQ(run("v2_blobs", "HEAD", "/v2/dst/blobs/" + digest).status, 404) << query;
    }
    for (const std::string &mount : {digest, bvtest::digest_in("sha512", "body")}) {
        auto mounted = call("POST", "/v2/dst/blobs/uploads/", "from=src&mount=" + mount);
        EXPECT_EQ(mounted.status, 201) << mounted.raw;
        EXPECT_EQ(mounted.header("Location"), "/v2/dst/blobs/" + mount);
        EXPECT_EQ(mounted.header("Docker-Content-Digest"), mount);
        EXPECT_EQ(run("v2_blobs", "GET", "/v2/dst/blobs/" + mount).body, "body");
    }
    // Without `from`, the first repository in catalog order that links the blob and that the
    // requester may read is the source; where none is readable, an ordinary upload begins.
    seed("a/hidden", "body");
    const fs::path rules = root_.path() / "access";
    bvtest::write_all(rules, "alice: read=src write=mine,theirs\nbob: write=mine,theirs\n");
    for (const auto &[user, repo, status] : {std::tuple{"bob", "theirs", 202}, std::tuple{"alice", "mine", 201}}) {
        auto a = call("POST", std::string("/v2/") + repo + "/blobs/uploads/", "mount=" + digest, {},
                      {{"REMOTE_USER", std::string(user)}, {"REGISTRY_ACCESS_FILE", rules.string()}});
        EXPECT_EQ(a.status, status) << user << "\n" << a.raw;
        EXPECT_EQ(run("v2_blobs", "HEAD", std::string("/v2/") + repo + "/blobs/" + digest).status,
                  status == 201 ? 200 : 404) << user;
    }
}

// An upload may declare the algorithm it will be finished with, or not; it finishes with a
// digest of either algorithm whatever it declared. A name no algorithm has is refused before
// anything else happens, a mount too.
TEST_F(UploadProgram, DeclaredAlgorithmsAndFinishesOfEither) {
    seed("src", "mountable");
    struct Case {
        std::string query;
        const char *finished;  // the finishing digest's algorithm; null: the POST is refused
    };
    const Case cases[] = {
        {"digest-algorithm=sha512", "sha512"},
        {"", "sha512"},
        {"digest-algorithm=sha512", "sha256"},
        {"digest-algorithm=md5", nullptr},
        {"digest-algorithm=", nullptr},
        {"digest-algorithm=SHA512", nullptr},
        {"digest-algorithm=md5&from=src&mount=" + digest_of("mountable"), nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        auto a = call("POST", "/v2/dst/blobs/uploads/", c.query);
        if (!c.finished) {
            EXPECT_EQ(a.status, 400) << a.raw;
            EXPECT_EQ(a.body, "{\"errors\":[{\"code\":\"DIGEST_INVALID\",\"message\":\"unsupported digest "
                              "algorithm\"}]}\n");
            continue;
        }
        ASSERT_EQ(a.status, 202) << a.raw;
        const std::string path = a.header("Location");
        ASSERT_EQ(call("PATCH", path, {}, "chunk one, ").status, 202);
        const std::string digest = bvtest::digest_in(c.finished, "chunk one, " + c.query);
        auto done = call("PUT", path, "digest=" + digest, c.query);
        EXPECT_EQ(done.status, 201) << done.raw;
        EXPECT_EQ(done.header("Docker-Content-Digest"), digest);
        EXPECT_EQ(run("v2_blobs", "GET", "/v2/dst/blobs/" + digest).body, "chunk one, " + c.query);
    }
    EXPECT_EQ(run("v2_blobs", "HEAD", "/v2/dst/blobs/" + digest_of("mountable")).status, 404);
}

}  // namespace
