// The referrers program: the index of the manifests naming a subject, filtered by artifactType,
// before and after the referrers come and go, and the empty index for subjects nobody names.
#include <gtest/gtest.h>

#include <string>

#include "tests/endpoints/registry_cgi.h"

namespace {

using regcgi::Answer;
using regcgi::digest_of;
using regcgi::Request;

class ReferrersProgram : public regcgi::RegistryCgiTest {
protected:
    Answer referrers(const std::string &repo, const std::string &digest, const std::string &query = "") {
        Request req;
        req.path = "/v2/" + repo + "/referrers/" + digest;
        req.query = query;
        return run("v2_referrers", req);
    }
    // An artifact manifest of `type` whose subject is the manifest `subject_body`.
    std::string artifact(const std::string &subject_body, const std::string &type, const std::string &seed) {
        const std::string empty = "{}";
        blob("app", empty);
        const std::string layer = "payload " + seed;
        blob("app", layer);
        return "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(regcgi::kOciManifest) +
               "\",\"artifactType\":\"" + type + "\",\"config\":" +
               descriptor("application/vnd.oci.empty.v1+json", empty) + ",\"layers\":[" +
               descriptor("application/octet-stream", layer) + "],\"subject\":" +
               descriptor(regcgi::kOciManifest, subject_body) + ",\"annotations\":{\"seed\":\"" + seed + "\"}}";
    }
    static void expect_index(const Answer &a, size_t entries, const std::string &label) {
        EXPECT_EQ(a.status, 200) << label << ": " << a.body;
        EXPECT_EQ(a.header("content-type"), regcgi::kOciIndex) << label;
        EXPECT_NE(a.body.find("\"schemaVersion\":2"), std::string::npos) << label << ": " << a.body;
        EXPECT_NE(a.body.find("\"manifests\":["), std::string::npos) << label << ": " << a.body;
        EXPECT_EQ(regcgi::count_of(a.body, "\"digest\":"), entries) << label << ": " << a.body;
    }
};

TEST_F(ReferrersProgram, ListsFiltersAndForgetsReferrers) {
    const std::string subject = image("app", "subject");
    const std::string subject_digest = store("app", "v1", subject);
    expect_index(referrers("app", subject_digest), 0, "before any referrer");

    const std::string sbom = artifact(subject, "application/vnd.example.sbom", "s");
    const std::string sig = artifact(subject, "application/vnd.example.signature", "g");
    ASSERT_EQ(manifests("PUT", "app", digest_of(sbom), sbom).status, 201);
    ASSERT_EQ(manifests("PUT", "app", digest_of(sig), sig).status, 201);

    Answer all = referrers("app", subject_digest);
    expect_index(all, 2, "both referrers");
    EXPECT_FALSE(all.has("oci-filters-applied"));
    for (const std::string &ref : {sbom, sig}) {
        EXPECT_NE(all.body.find(digest_of(ref)), std::string::npos) << all.body;
        EXPECT_NE(all.body.find("\"size\":" + std::to_string(ref.size())), std::string::npos) << all.body;
    }
    EXPECT_NE(all.body.find("\"artifactType\":\"application/vnd.example.sbom\""), std::string::npos);

    struct Case {
        const char *query;
        size_t entries;
    };
    const Case filters[] = {
        {"artifactType=application/vnd.example.sbom", 1},
        {"artifactType=application%2Fvnd.example.signature", 1},
        {"artifactType=application/vnd.example.other", 0},
    };
    for (const auto &f : filters) {
        Answer a = referrers("app", subject_digest, f.query);
        expect_index(a, f.entries, f.query);
        EXPECT_EQ(a.header("oci-filters-applied"), "artifactType") << f.query;
    }
    Answer sbom_only = referrers("app", subject_digest, "artifactType=application/vnd.example.sbom");
    EXPECT_NE(sbom_only.body.find(digest_of(sbom)), std::string::npos);

    ASSERT_EQ(manifests("DELETE", "app", digest_of(sbom)).status, 202);
    Answer after = referrers("app", subject_digest);
    expect_index(after, 1, "after deleting one");
    EXPECT_NE(after.body.find(digest_of(sig)), std::string::npos);
}

TEST_F(ReferrersProgram, ReferrersOfAMissingSubjectAreListed) {
    const std::string absent = image("app", "never pushed");
    const std::string ref = artifact(absent, "application/vnd.example.sbom", "m");
    ASSERT_EQ(manifests("PUT", "app", "sbom", ref).status, 201);
    expect_index(referrers("app", digest_of(absent)), 1, "subject never stored");
    expect_index(referrers("app", digest_of("unrelated")), 0, "unknown subject");
    Answer no_repo = referrers("absent", digest_of(absent));
    EXPECT_EQ(no_repo.status, 404);
    EXPECT_EQ(no_repo.code(), "NAME_UNKNOWN");
}

TEST_F(ReferrersProgram, MalformedDigests) {
    store("app", "v1", image("app", "m"));
    for (const std::string &bad : {std::string("latest"), std::string("sha256:short"), "sha256:" + std::string(64, 'F'),
                                  "md5:" + std::string(32, 'a')}) {
        Answer a = referrers("app", bad);
        EXPECT_EQ(a.status, 400) << bad;
        EXPECT_EQ(a.code(), "DIGEST_INVALID") << bad;
    }
    Answer head = [&] {
        Request req;
        req.method = "HEAD";
        req.path = "/v2/app/referrers/" + digest_of("x");
        return run("v2_referrers", req);
    }();
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
}

}  // namespace
