// The manifest program as the web server runs it: bodies stored and served byte for byte under
// their media type, the references and bodies it refuses, the size limit, and deletion.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "tests/endpoints/registry_cgi.h"

namespace {

using regcgi::Answer;
using regcgi::digest_of;
using regcgi::Request;

class ManifestProgram : public regcgi::RegistryCgiTest {};

const char api_version[] = "registry/2.0";

TEST_F(ManifestProgram, PutThenGetAndHeadByTagAndDigest) {
    const std::string body = image("lib/app", "one");
    const std::string digest = digest_of(body);
    // Parameters of the Content-Type are dropped; the media type alone is stored.
    Answer put = manifests("PUT", "lib/app", "v1", body, "application/vnd.oci.image.manifest.v1+json; charset=utf-8");
    ASSERT_EQ(put.status, 201) << put.head << put.body;
    EXPECT_EQ(put.header("location"), "/v2/lib/app/manifests/" + digest);
    EXPECT_EQ(put.header("docker-content-digest"), digest);
    EXPECT_EQ(put.header("docker-distribution-api-version"), api_version);
    EXPECT_FALSE(put.has("oci-subject"));
    EXPECT_EQ(put.body, "");
    EXPECT_EQ(put.exit_code, 0);

    for (const std::string method : {"GET", "HEAD"}) {
        for (const std::string &ref : {std::string("v1"), digest}) {
            Answer got = manifests(method, "lib/app", ref);
            const std::string label = method + " " + ref;
            ASSERT_EQ(got.status, 200) << label << "\n" << got.head << got.body;
            EXPECT_EQ(got.header("content-type"), regcgi::kOciManifest) << label;
            EXPECT_EQ(got.header("content-length"), std::to_string(body.size())) << label;
            EXPECT_EQ(got.header("docker-content-digest"), digest) << label;
            EXPECT_EQ(got.header("docker-distribution-api-version"), api_version) << label;
            EXPECT_EQ(got.body, method == "GET" ? body : "") << label;
        }
    }
}

TEST_F(ManifestProgram, EveryManifestKindKeepsItsMediaType) {
    const std::string child_a = image("app", "a");
    const std::string child_b = image("app", "b", "", regcgi::kDockerManifest);
    store("app", digest_of(child_a), child_a);
    store("app", digest_of(child_b), child_b, regcgi::kDockerManifest);
    const std::string platform = ",\"platform\":{\"architecture\":\"amd64\",\"os\":\"linux\"}";
    const std::string oci_index = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(regcgi::kOciIndex) +
                                  "\",\"manifests\":[" + descriptor(regcgi::kOciManifest, child_a, platform) + "]}";
    const std::string docker_list = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(regcgi::kDockerList) +
                                    "\",\"manifests\":[" + descriptor(regcgi::kDockerManifest, child_b, platform) +
                                    "]}";
    // An artifact: its own artifactType, the empty config, and no mediaType member at all.
    const std::string empty = "{}";
    blob("app", empty);
    const std::string artifact = "{\"schemaVersion\":2,\"artifactType\":\"application/vnd.example.sbom\",\"config\":" +
                                 descriptor("application/vnd.oci.empty.v1+json", empty) + ",\"layers\":[" +
                                 descriptor("application/vnd.oci.empty.v1+json", empty) + "]}";
    struct Case {
        const char *tag;
        std::string body;
        const char *type;
    };
    const Case cases[] = {
        {"oci-image", image("app", "c"), regcgi::kOciManifest},
        {"oci-index", oci_index, regcgi::kOciIndex},
        {"docker-image", image("app", "d", "", regcgi::kDockerManifest), regcgi::kDockerManifest},
        {"docker-list", docker_list, regcgi::kDockerList},
        {"artifact", artifact, regcgi::kOciManifest},
    };
    for (const auto &c : cases) {
        Answer put = manifests("PUT", "app", c.tag, c.body, c.type);
        ASSERT_EQ(put.status, 201) << c.tag << ": " << put.body;
        Answer got = manifests("GET", "app", c.tag);
        EXPECT_EQ(got.status, 200) << c.tag;
        EXPECT_EQ(got.header("content-type"), c.type) << c.tag;
        EXPECT_EQ(got.body, c.body) << c.tag;
    }
}

TEST_F(ManifestProgram, RefusedBodies) {
    const std::string good = image("app", "x");
    const std::string missing_layer =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(regcgi::kOciManifest) + "\",\"config\":" +
        descriptor("application/vnd.oci.image.config.v1+json", "{\"architecture\":\"amd64\",\"os\":\"linux\",\"seed\":\"x\"}") +
        ",\"layers\":[" + descriptor("application/vnd.oci.image.layer.v1.tar", "never stored") + "]}";
    const std::string foreign_layer =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(regcgi::kOciManifest) + "\",\"config\":" +
        descriptor("application/vnd.oci.image.config.v1+json", "{\"architecture\":\"amd64\",\"os\":\"linux\",\"seed\":\"x\"}") +
        ",\"layers\":[" +
        descriptor("application/vnd.oci.image.layer.nondistributable.v1.tar", "kept elsewhere",
                   ",\"urls\":[\"https://example.com/layer\"]") +
        "]}";
    const std::string index_of_unknown = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(regcgi::kOciIndex) +
                                         "\",\"manifests\":[" + descriptor(regcgi::kOciManifest, good) + "]}";
    struct Case {
        const char *label;
        std::string body;
        const char *type;
        int status;
        const char *code;
    };
    const Case cases[] = {
        {"not JSON", "not json at all", regcgi::kOciManifest, 400, "MANIFEST_INVALID"},
        {"empty body", "", regcgi::kOciManifest, 400, "MANIFEST_INVALID"},
        {"array", "[]", regcgi::kOciManifest, 400, "MANIFEST_INVALID"},
        {"mediaType disagrees with Content-Type", good, regcgi::kDockerManifest, 400, "MANIFEST_INVALID"},
        {"layer not in the repository", missing_layer, regcgi::kOciManifest, 400, "MANIFEST_BLOB_UNKNOWN"},
        {"index names an unknown manifest", index_of_unknown, regcgi::kOciIndex, 400, "MANIFEST_BLOB_UNKNOWN"},
        {"layer with urls needs no blob", foreign_layer, regcgi::kOciManifest, 201, ""},
    };
    for (const auto &c : cases) {
        Answer put = manifests("PUT", "app", "t", c.body, c.type);
        EXPECT_EQ(put.status, c.status) << c.label << ": " << put.body;
        EXPECT_EQ(put.code(), c.code) << c.label << ": " << put.body;
        EXPECT_EQ(put.header("docker-distribution-api-version"), api_version) << c.label;
    }
    // The blobs of one repository are not another's.
    Answer elsewhere = manifests("PUT", "other", "t", good);
    EXPECT_EQ(elsewhere.status, 400);
    EXPECT_EQ(elsewhere.code(), "MANIFEST_BLOB_UNKNOWN");
}

TEST_F(ManifestProgram, SubjectIsAnsweredEvenWhenItDoesNotExist) {
    const std::string subject = digest_of("a manifest nobody stored");
    const std::string body = image("app", "s", ",\"subject\":{\"mediaType\":\"" + std::string(regcgi::kOciManifest) +
                                                   "\",\"digest\":\"" + subject + "\",\"size\":10}");
    Answer put = manifests("PUT", "app", digest_of(body), body);
    ASSERT_EQ(put.status, 201) << put.body;
    EXPECT_EQ(put.header("oci-subject"), subject);
}

TEST_F(ManifestProgram, MalformedReferences) {
    store("app", "v1", image("app", "r"));
    const std::string digest_tail(64, 'a');
    struct Case {
        std::string ref;
        const char *code;
    };
    const Case cases[] = {
        {"sha256:totallywrong", "DIGEST_INVALID"},
        {"sha256:" + std::string(64, 'A'), "DIGEST_INVALID"},
        {"sha256:" + std::string(63, 'a'), "DIGEST_INVALID"},
        {"sha512:" + std::string(64, 'a'), "DIGEST_INVALID"},
        {"sha256:" + std::string(128, 'a'), "DIGEST_INVALID"},
        {":" + digest_tail, "DIGEST_INVALID"},
        {".hidden", "TAG_INVALID"},
        {"-dash", "TAG_INVALID"},
        {std::string(129, 't'), "TAG_INVALID"},
        {"a b", "TAG_INVALID"},
        {"a/b", "TAG_INVALID"},
    };
    for (const auto &c : cases) {
        for (const std::string method : {"GET", "HEAD", "PUT", "DELETE"}) {
            Answer a = manifests(method, "app", c.ref, image("app", "r"));
            // Reading by a malformed tag finds nothing; writing or deleting by one is refused.
            const bool missing = std::string(c.code) == "TAG_INVALID" && (method == "GET" || method == "HEAD");
            EXPECT_EQ(a.status, missing ? 404 : 400) << method << " " << c.ref << ": " << a.body;
            if (method != "HEAD") {
                EXPECT_EQ(a.code(), missing ? "MANIFEST_UNKNOWN" : c.code) << method << " " << c.ref;
            }
        }
    }
    // The longest tag and one led by an underscore are tags like any other.
    for (const std::string &tag : {std::string(128, 't'), std::string("_under"), std::string("1.0-rc_2")}) {
        EXPECT_EQ(manifests("GET", "app", tag).code(), "MANIFEST_UNKNOWN") << tag;
        EXPECT_EQ(manifests("PUT", "app", tag, image("app", "r")).status, 201) << tag;
    }
}

TEST_F(ManifestProgram, PutByDigestMustNameItsBody) {
    const std::string body = image("app", "d");
    Answer wrong = manifests("PUT", "app", digest_of(body + " "), body);
    EXPECT_EQ(wrong.status, 400);
    EXPECT_EQ(wrong.code(), "DIGEST_INVALID");
    Answer right = manifests("PUT", "app", digest_of(body), body);
    EXPECT_EQ(right.status, 201) << right.body;
    EXPECT_EQ(right.header("location"), "/v2/app/manifests/" + digest_of(body));
}

// Tag parameters set every tag they name once the manifest is stored, by digest or by tag, and
// one bad tag, too many tags or a body the reference does not name stores nothing at all.
TEST_F(ManifestProgram, TagParametersSetEveryTagOrNothing) {
    std::string ten, many;
    for (int i = 0; i < 101; ++i) (i < 10 ? ten : many) += "&tag=t" + std::to_string(i);
    struct Case {
        const char *ref;  // "@": the body's digest, "@wrong": another digest
        std::string query;
        const char *code;
        std::vector<std::string> tags;  // one OCI-Tag header each, and each then set
    };
    const Case cases[] = {
        {"@", ten.substr(1), "", {"t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7", "t8", "t9"}},
        {"v1", "tag=v%312&tag=v1&tag=v12", "", {"v12", "v1"}},
        {"@", "tag=ok&tag=.bad", "TAG_INVALID", {}},
        {"v1", "tag=ok&tag=a%0D%0AX-Evil:%201", "TAG_INVALID", {}},
        {"@", "tag=" + std::string(129, 'a'), "TAG_INVALID", {}},
        {"@", ten + many, "UNSUPPORTED", {}},
        {"@wrong", "tag=ok", "DIGEST_INVALID", {}},
    };
    for (size_t n = 0; n < std::size(cases); ++n) {
        const Case &c = cases[n];
        const std::string repo = "tagged/r" + std::to_string(n);
        const std::string body = image(repo, repo);
        const std::string ref = c.ref[0] != '@' ? c.ref : digest_of(c.ref[1] ? body + " " : body);
        Answer put = run("v2_manifests", {"PUT", "/v2/" + repo + "/manifests/" + ref, c.query, body, {}, {}, {}});
        EXPECT_EQ(put.code(), c.code) << n << "\n" << put.head << put.body;
        EXPECT_EQ(regcgi::count_of(put.head, "OCI-Tag: "), c.tags.size()) << n << "\n" << put.head;
        for (const std::string &tag : c.tags) {
            EXPECT_NE(put.head.find("OCI-Tag: " + tag + "\r\n"), std::string::npos) << n << " " << tag;
            EXPECT_EQ(manifests("GET", repo, tag).header("docker-content-digest"), digest_of(body)) << n << tag;
        }
        EXPECT_EQ(manifests("GET", repo, digest_of(body)).status, c.code[0] ? 404 : 200) << n << ": stored or not";
    }
}

TEST_F(ManifestProgram, UnknownManifestsAndRepositories) {
    store("app", "v1", image("app", "u"));
    struct Case {
        const char *repo;
        std::string ref;
        const char *code;
    };
    const Case cases[] = {
        {"app", "nope", "MANIFEST_UNKNOWN"},
        {"app", digest_of("nothing"), "MANIFEST_UNKNOWN"},
        {"absent", "v1", "NAME_UNKNOWN"},
        {"absent", digest_of("nothing"), "NAME_UNKNOWN"},
    };
    for (const auto &c : cases) {
        Answer get = manifests("GET", c.repo, c.ref);
        EXPECT_EQ(get.status, 404) << c.repo << " " << c.ref;
        EXPECT_EQ(get.code(), c.code) << c.repo << " " << c.ref;
        Answer head = manifests("HEAD", c.repo, c.ref);
        EXPECT_EQ(head.status, 404) << c.repo << " " << c.ref;
        EXPECT_EQ(head.body, "") << c.repo << " " << c.ref;
    }
}

// The body is read into a buffer of its announced length; the limit is 4 MiB, and a body
// announced larger is refused without being read. A body without a length is read to the end
// of the input, and refused once it passes the limit. A body the web server spooled to a file
// counts by the file's size.
TEST_F(ManifestProgram, SizeLimit) {
    const std::string base = image("app", "big");
    auto padded = [&](size_t size) { return base.substr(0, base.size() - 1) + std::string(size - base.size(), ' ') + "}"; };
    const size_t limit = REG_MANIFEST_MAX;
    struct Case {
        const char *label;
        std::string body;
        std::optional<std::string> length;
        int status;
        const char *code;
    };
    const Case cases[] = {
        // A GET reads into a buffer of 16 KiB first and again into a larger one past it.
        {"exactly the first read", padded(16u << 10), std::nullopt, 201, ""},
        {"one byte past the first read", padded((16u << 10) + 1), std::nullopt, 201, ""},
        {"exactly the limit", padded(limit), std::nullopt, 201, ""},
        {"one byte over", padded(limit + 1), std::nullopt, 413, "SIZE_INVALID"},
        {"announced far over", base, std::string("99999999999"), 413, "SIZE_INVALID"},
        {"body shorter than announced", base, std::to_string(base.size() + 10), 400, "SIZE_INVALID"},
        {"length is no number", base, std::string("12a"), 400, "SIZE_INVALID"},
        {"no length, exactly the limit", padded(limit), std::string(""), 201, ""},
        {"no length, one byte over", padded(limit + 1), std::string(""), 413, "SIZE_INVALID"},
    };
    for (const auto &c : cases) {
        Request req;
        req.method = "PUT";
        req.path = "/v2/app/manifests/big";
        req.body = c.body;
        req.content_type = regcgi::kOciManifest;
        req.content_length = c.length;
        Answer a = run("v2_manifests", req);
        EXPECT_EQ(a.status, c.status) << c.label << ": " << a.body;
        EXPECT_EQ(a.code(), c.code) << c.label;
        if (c.status == 201) {
            Answer got = manifests("GET", "app", "big");
            EXPECT_EQ(got.body, c.body) << c.label;
        }
    }
    for (size_t size : {limit, limit + 1}) {
        const auto spooled = root_.path().parent_path() / (root_.path().filename().string() + ".body");
        bvtest::write_all(spooled, padded(size));
        Request req;
        req.method = "PUT";
        req.path = "/v2/app/manifests/spooled";
        req.content_type = regcgi::kOciManifest;
        req.content_length = std::string("");
        req.env = {{"POST_BODY_FILE", spooled.string()}};
        Answer a = run("v2_manifests", req);
        std::filesystem::remove(spooled);
        EXPECT_EQ(a.status, size == limit ? 201 : 413) << size << ": " << a.body;
    }
}

TEST_F(ManifestProgram, DeleteByTagAndByDigest) {
    const std::string body = image("app", "del");
    const std::string digest = store("app", "a", body);
    store("app", "b", body);
    store("app", "c", body);

    Answer untag = manifests("DELETE", "app", "a");
    EXPECT_EQ(untag.status, 202) << untag.body;
    EXPECT_EQ(untag.body, "");
    EXPECT_EQ(manifests("GET", "app", "a").code(), "MANIFEST_UNKNOWN");
    EXPECT_EQ(manifests("GET", "app", "b").status, 200);
    EXPECT_EQ(manifests("GET", "app", digest).status, 200);
    EXPECT_EQ(manifests("DELETE", "app", "a").code(), "MANIFEST_UNKNOWN");

    Answer gone = manifests("DELETE", "app", digest);
    EXPECT_EQ(gone.status, 202) << gone.body;
    for (const std::string &ref : {std::string("b"), std::string("c"), digest})
        EXPECT_EQ(manifests("GET", "app", ref).code(), "MANIFEST_UNKNOWN") << ref;
    Request list;
    list.path = "/v2/app/tags/list";
    EXPECT_EQ(regcgi::json_names(run("v2_tags", list).body, "tags"), std::vector<std::string>{});
    Answer again = manifests("DELETE", "app", digest);
    EXPECT_EQ(again.status, 404);
    EXPECT_EQ(again.code(), "MANIFEST_UNKNOWN");
}

TEST_F(ManifestProgram, RetaggingRepointsTheTag) {
    const std::string first = image("app", "first");
    const std::string second = image("app", "second");
    ASSERT_EQ(manifests("PUT", "app", "latest", first).status, 201);
    ASSERT_EQ(manifests("PUT", "app", "latest", second).status, 201);
    EXPECT_EQ(manifests("GET", "app", "latest").body, second);
    EXPECT_EQ(manifests("GET", "app", digest_of(first)).body, first);
}

}  // namespace
