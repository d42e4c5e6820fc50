// Referrers: a manifest with a subject leaves a referrer link beside the subject, reported
// through out_subject; the referrers index lists those manifests with their media type, size,
// artifact type (their own, else the config's) and annotations, filtered by artifact type,
// and loses them when they are deleted by digest.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest_fixture.h"

namespace manifesttest {
namespace {

using std::string;

const string kIndexHead =
    R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[)";

class ReferrersTest : public ManifestTest {
protected:
    void SetUp() override {
        ManifestTest::SetUp();
        subject_digest = put("v1", body_);
        empty = blob("{}");
        sbom_data = blob("sbom");
    }

    // `extra` goes into the referrer before its members (end it with a comma).
    string artifact(const string &artifact_type, const string &extra = "",
                    const string &subject = "") {
        const string at = artifact_type.empty() ? "" : "\"artifactType\":\"" + artifact_type + "\",";
        const string subj = "\"subject\":" +
                            desc(subject.empty() ? subject_digest : subject, kOciManifest,
                                 static_cast<long long>(body_.size())) +
                            ",";
        return image(desc(empty, "application/vnd.oci.empty.v1+json", 2),
                     {desc(sbom_data, "application/spdx+json", 4)}, kOciManifest, at + subj + extra);
    }

    string referrers(const string &digest, const char *filter = nullptr,
                     const string &repo = "app") {
        const char *doc = reg_referrers_json(repo.c_str(), digest.c_str(), filter);
        return doc ? doc : "<null> " + error();
    }

    // Every page of the index from the first, with a budget of `page_bytes`, joined into the
    // one index they make; a page past its budget must hold a single descriptor.
    string paged(const string &digest, const char *filter, size_t page_bytes, size_t *pages) {
        string joined, last;
        for (*pages = 1; *pages < 50; ++*pages) {
            char *doc = nullptr;
            size_t len = 0;
            char next[REG_DIGEST_SIZE] = "untouched";
            if (reg_referrers_page("app", digest.c_str(), filter, last.c_str(), page_bytes, &doc,
                                   &len, next) != 0)
                return "<failed> " + error();
            const string page(doc, len);
            std::free(doc);
            EXPECT_EQ(page.rfind(kIndexHead, 0), 0u) << page;
            const string entries = page.substr(kIndexHead.size(), page.size() - kIndexHead.size() - 2);
            if (page.size() > (page_bytes ? page_bytes : REG_REFERRERS_PAGE_BYTES)) {
                EXPECT_EQ(entries.find(",{"), string::npos) << page;
            }
            joined += (joined.empty() || entries.empty() ? "" : ",") + entries;
            if (!*next) break;
            EXPECT_NE(entries.find(string(next) + "\""), string::npos) << next << " ends " << page;
            last = next;
        }
        return kIndexHead + joined + "]}";
    }

    // `digest` "": the body's sha256 digest.
    static string entry(const string &body, const string &type, const string &artifact_type,
                        const string &annotations = "", const string &digest = "") {
        string out = "{\"mediaType\":\"" + type + "\",\"digest\":\"" +
                     (digest.empty() ? digest_of(body) : digest) +
                     "\",\"size\":" + std::to_string(body.size());
        if (!artifact_type.empty()) out += ",\"artifactType\":\"" + artifact_type + "\"";
        if (!annotations.empty()) out += ",\"annotations\":" + annotations;
        return out + "}";
    }

    string subject_digest, empty, sbom_data;
};

TEST_F(ReferrersTest, SubjectLeavesAReferrerLink) {
    EXPECT_EQ(subject_, "");  // v1 has no subject
    const string sbom = artifact("application/vnd.example.sbom");
    const string digest = put(digest_of(sbom), sbom);
    EXPECT_EQ(subject_, subject_digest);
    EXPECT_EQ(bvtest::read_all(referrer_link(subject_digest.substr(7), digest.substr(7))), digest);

    // The subject may be a manifest that does not exist, not even the repository's.
    const string orphan = artifact("application/vnd.example.sig", "", fake_digest('5'));
    put("orphan", orphan);
    EXPECT_EQ(subject_, fake_digest('5'));
    EXPECT_TRUE(fs::exists(referrer_link(string(64, '5'), hex_of(orphan))));
    EXPECT_EQ(referrers(fake_digest('5')), kIndexHead + entry(orphan, kOciManifest, "application/vnd.example.sig") + "]}");

    // A sha512 subject and a referrer pushed by its sha512 digest.
    const string subject512 = put(digest512_of(body_), body_);
    const string sig = artifact("application/vnd.example.sig", "", subject512);
    const string sig512 = put(digest512_of(sig), sig);
    EXPECT_EQ(subject_, subject512);
    EXPECT_EQ(bvtest::read_all(referrer_link(subject512.substr(7), sig512.substr(7))), sig512);
    EXPECT_EQ(referrers(subject512),
              kIndexHead + entry(sig, kOciManifest, "application/vnd.example.sig", "", sig512) + "]}");
}

TEST_F(ReferrersTest, IndexOfReferrers) {
    const string sbom = artifact("application/vnd.example.sbom",
                                 R"("annotations":{"org.example.format":"spdx","q":"a \"quoted\"\ttab \u00e9"},)");
    // No artifact type of its own: the config's media type stands in.
    const string sig_config = blob("sig config");
    const string sig = image(desc(sig_config, "application/vnd.example.sig.config"), {desc(layer_)},
                             kOciManifest, "\"subject\":" + desc(subject_digest, kOciManifest, 1) + ",");
    // An index referrer without an artifact type has none in its descriptor.
    const string idx = index({}, kOciIndex, "\"subject\":" + desc(subject_digest, kOciManifest, 1) + ",");
    const string idx_typed = index({}, kOciIndex,
                                   R"("artifactType":"application/vnd.example.bundle",)"
                                   "\"subject\":" + desc(subject_digest, kOciManifest, 1) + ",");
    // One referrer pushed by its sha512 digest: listed with the others in digest-string order.
    const string sig512 = artifact("application/vnd.example.sig512");
    for (const string *body : {&sbom, &sig, &idx, &idx_typed}) put(digest_of(*body), *body);
    put(digest512_of(sig512), sig512);
    put("unrelated", artifact("application/vnd.example.sbom", "", fake_digest('7')));

    struct Listed {
        const string *body;
        string type, artifact_type, annotations, digest;
    };
    std::vector<Listed> all = {
        {&sbom, kOciManifest, "application/vnd.example.sbom",
         R"({"org.example.format":"spdx","q":"a \"quoted\"\ttab )" "\xc3\xa9\"}", digest_of(sbom)},
        {&sig, kOciManifest, "application/vnd.example.sig.config", "", digest_of(sig)},
        {&idx, kOciIndex, "", "", digest_of(idx)},
        {&idx_typed, kOciIndex, "application/vnd.example.bundle", "", digest_of(idx_typed)},
        {&sig512, kOciManifest, "application/vnd.example.sig512", "", digest512_of(sig512)},
    };
    // Descriptors come in the order of their digests.
    std::sort(all.begin(), all.end(), [](const Listed &a, const Listed &b) { return a.digest < b.digest; });
    const auto expect = [&](const char *filter) {
        string out = kIndexHead;
        bool first = true;
        for (const Listed &l : all) {
            if (filter && *filter && l.artifact_type != filter) continue;
            out += (first ? "" : ",") + entry(*l.body, l.type, l.artifact_type, l.annotations, l.digest);
            first = false;
        }
        return out + "]}";
    };
    for (const char *filter : {static_cast<const char *>(nullptr), "", "application/vnd.example.sbom",
                               "application/vnd.example.sig.config", "application/vnd.example.bundle",
                               "application/vnd.example.sig512",
                               "application/none"}) {
        SCOPED_TRACE(filter ? filter : "(null)");
        EXPECT_EQ(referrers(subject_digest, filter), expect(filter));
        // Pages of any budget make the same index; a budget below every descriptor gives each
        // its own page, and no page follows the last one the filter passes.
        const string whole = expect(filter);
        size_t listed = 0;
        for (size_t at = whole.find("{\"mediaType\""); at != string::npos;
             at = whole.find("{\"mediaType\"", at + 1))
            ++listed;
        listed = std::max<size_t>(1, listed);
        for (size_t budget : {size_t{1}, size_t{700}, size_t{0}}) {
            size_t pages = 0;
            EXPECT_EQ(paged(subject_digest, filter, budget, &pages), expect(filter)) << budget;
            if (budget != 700) {
                EXPECT_EQ(pages, budget == 1 ? listed : 1u) << budget;
            }
        }
    }
    EXPECT_EQ(referrers(fake_digest('7'), "application/vnd.example.sbom").find(kIndexHead + "{"), 0u);
}

TEST_F(ReferrersTest, UnknownSubjectsAndFailures) {
    EXPECT_EQ(referrers(fake_digest('0')), kIndexHead + "]}");
    EXPECT_EQ(referrers(subject_digest), kIndexHead + "]}");
    struct Case {
        const char *repo, *digest;
        reg_error_kind kind;
    } cases[] = {
        {"app", "sha256:abc", REG_ERR_DIGEST_INVALID},
        {"app", "v1", REG_ERR_DIGEST_INVALID},
        {"a b", "sha256:abc", REG_ERR_NAME_INVALID},
        {nullptr, subject_digest.c_str(), REG_ERR_ARGUMENT},
        {"app", nullptr, REG_ERR_ARGUMENT},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(reg_referrers_json(c.repo, c.digest, nullptr), nullptr);
        EXPECT_EQ(kind(), c.kind) << (c.repo ? c.repo : "(null)");
    }
    // A repository that does not exist has no referrers, like an unknown subject.
    EXPECT_EQ(referrers(subject_digest, nullptr, "missing"), kIndexHead + "]}");
    char *doc = nullptr;
    size_t len = 0;
    for (const char *last : {"sha256:abc", "latest"}) {
        EXPECT_EQ(reg_referrers_page("app", subject_digest.c_str(), nullptr, last, 0, &doc, &len,
                                     nullptr),
                  -1);
        EXPECT_EQ(kind(), REG_ERR_DIGEST_INVALID) << last;
        EXPECT_EQ(doc, nullptr);
    }
    reg_storage_cleanup();
    EXPECT_EQ(reg_referrers_json("app", subject_digest.c_str(), nullptr), nullptr);
    EXPECT_EQ(kind(), REG_ERR_NOT_READY);
}

TEST_F(ReferrersTest, DeletionAndStaleEntries) {
    const string a = artifact("application/vnd.example.a");
    const string b = artifact("application/vnd.example.b");
    put("a", a);
    put("b", b);
    const auto listed = [&](const string &body) {
        return referrers(subject_digest).find(digest_of(body)) != string::npos;
    };
    // A tag delete leaves the referrer; a digest delete takes its link.
    ASSERT_EQ(del("a"), 0);
    EXPECT_TRUE(listed(a));
    ASSERT_EQ(del(digest_of(a)), 0) << error();
    EXPECT_FALSE(listed(a));
    EXPECT_FALSE(fs::exists(referrer_link(subject_digest.substr(7), hex_of(a))));
    EXPECT_TRUE(listed(b));
    // Deleting the subject leaves its referrers listed.
    ASSERT_EQ(del(subject_digest), 0) << error();
    EXPECT_TRUE(listed(b));

    // Entries that name nothing listable are passed over: a body gone by other means, a link
    // naming another digest, a directory without a link, names that are no digests, and a
    // manifest whose subject is another.
    const fs::path dir = referrer_link(subject_digest.substr(7), hex_of(b)).parent_path().parent_path();
    fs::remove(body_file(hex_of(b)));
    const string c = artifact("application/vnd.example.c", "", fake_digest('3'));
    put("c", c);
    fs::create_directories(dir / hex_of(c));
    bvtest::write_all(dir / hex_of(c) / "link", digest_of(c));  // c's subject is another
    fs::create_directories(dir / string(64, '1'));
    bvtest::write_all(dir / string(64, '1') / "link", fake_digest('2'));
    fs::create_directories(dir / string(64, '4'));
    fs::create_directories(dir / "not-a-digest");
    bvtest::write_all(dir / "stray-file", "x");
    EXPECT_EQ(referrers(subject_digest), kIndexHead + "]}");
}

}  // namespace
}  // namespace manifesttest
