// The referrers program: the index of the manifests naming a subject, filtered by artifactType,
// before and after the referrers come and go, and the empty index for subjects nobody names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/endpoints/registry_cgi.h"

namespace {

using regcgi::Answer;
using regcgi::digest_of;
using regcgi::Request;

class ReferrersProgram : public regcgi::RegistryCgiTest {
protected:
    Answer referrers(const std::string &repo, const std::string &digest, const std::string &query = "",
                     const char *page_bytes = nullptr) {
        Request req;
        req.path = "/v2/" + repo + "/referrers/" + digest;
        req.query = query;
        if (page_bytes) req.env = {{"REGISTRY_REFERRERS_PAGE_BYTES", page_bytes}};
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
    expect_index(referrers("absent", digest_of(absent)), 0, "repository never pushed");
}

// Pages of one descriptor each (a budget below any descriptor) follow their Links through every
// referrer in digest order, the filter kept in each Link and applied before the paging.
TEST_F(ReferrersProgram, PagesLinkOnwardKeepingTheFilter) {
    const std::string subject = image("app", "subject");
    const std::string subject_digest = store("app", "v1", subject);
    std::vector<std::string> sboms, all;
    // "c" and the signature are pushed by their sha512 digests: they page on after the others.
    for (const char *seed : {"a", "b", "c"}) {
        const std::string sbom = artifact(subject, "application/vnd.example.sbom", seed);
        const std::string digest = *seed == 'c' ? regcgi::digest512_of(sbom) : digest_of(sbom);
        ASSERT_EQ(manifests("PUT", "app", digest, sbom).status, 201);
        sboms.push_back(digest);
    }
    const std::string sig = artifact(subject, "application/vnd.example.signature", "g");
    const std::string sig_digest = regcgi::digest512_of(sig);
    ASSERT_EQ(manifests("PUT", "app", sig_digest, sig).status, 201);
    all = sboms;
    all.push_back(sig_digest);
    std::sort(sboms.begin(), sboms.end());
    std::sort(all.begin(), all.end());

    struct Case {
        std::string query, link_query;  // the first page's query; what each Link's query starts with
        const char *page_bytes;
        std::vector<std::string> digests;
    };
    const Case cases[] = {
        {"", "last=", "1", all},
        {"artifactType=application/vnd.example.sbom", "artifactType=application%2Fvnd.example.sbom&last=", "1", sboms},
        {"artifactType=application/vnd.example.signature", "", "1", {sig_digest}},
        {"", "", "not a number", all},
        {"last=" + all[1], "last=", "1", {all[2], all[3]}},
        {"last=" + all[2], "last=", "1", {all[3]}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> seen;
        std::string query = c.query;
        for (size_t page = 0; page < c.digests.size() + 1; ++page) {
            Answer a = referrers("app", subject_digest, query, c.page_bytes);
            expect_index(a, c.link_query.empty() ? c.digests.size() : 1, c.query);
            EXPECT_EQ(a.has("oci-filters-applied"), c.query.rfind("artifactType", 0) == 0) << c.query;
            for (const std::string &d : all)
                if (a.body.find(d) != std::string::npos) seen.push_back(d);
            if (!a.has("link")) break;
            const std::string prefix = "</v2/app/referrers/" + subject_digest + "?" + c.link_query;
            const std::string link = a.header("link");
            ASSERT_EQ(link.rfind(prefix, 0), 0u) << link;
            query = link.substr(prefix.size() - c.link_query.size(), link.find('>') - prefix.size() + c.link_query.size());
            EXPECT_EQ(link.substr(link.find('>')), ">; rel=\"next\"");
        }
        EXPECT_EQ(seen, c.digests) << c.query;
    }
}

TEST_F(ReferrersProgram, MalformedDigests) {
    store("app", "v1", image("app", "m"));
    for (const std::string &bad : {std::string("latest"), std::string("sha256:short"), "sha256:" + std::string(64, 'F'),
                                  "md5:" + std::string(32, 'a')}) {
        Answer a = referrers("app", bad);
        EXPECT_EQ(a.status, 400) << bad;
        EXPECT_EQ(a.code(), "DIGEST_INVALID") << bad;
        Answer after = referrers("app", digest_of("x"), "last=" + bad);
        EXPECT_EQ(after.status, 400) << bad;
        EXPECT_EQ(after.code(), "DIGEST_INVALID") << bad;
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
