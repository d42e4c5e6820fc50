// Manifests, referrers, tag lists and the catalog behind lighttpd, spoken to with curl: exact
// bytes never compressed, HEAD heads, referrers before and after an artifact arrives, and
// paging over more than 512 names by following Link to the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

using clienttools::curl;
using clienttools::CurlAnswer;
using ocilayout::digest_of;

class ManifestHttp : public regtest::RegistryServerTest {
protected:
    void SetUp() override {
        RegistryServerTest::SetUp();
        ASSERT_EQ(reg_storage_init(server_.storage_root().c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    void blob(const std::string &repo, const std::string &data) {
        const std::string digest = digest_of(data);
        if (!reg_blob_exists(digest.c_str())) {
            char uuid[40] = {};
            char out[REG_DIGEST_SIZE] = {};
            ASSERT_EQ(reg_blob_start_upload(uuid), 0) << reg_storage_last_error();
            ASSERT_EQ(reg_blob_append_chunk(uuid, data.data(), data.size()), 0) << reg_storage_last_error();
            ASSERT_EQ(reg_blob_finish_upload(uuid, digest.c_str(), out), 0) << reg_storage_last_error();
        }
        ASSERT_EQ(reg_blob_link(repo.c_str(), digest.c_str()), 0) << reg_storage_last_error();
    }
    // An image whose blobs are linked into `repo`; `extra` members close the manifest.
    std::string image(const std::string &repo, const std::string &seed, const std::string &extra = "") {
        const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\",\"seed\":\"" + seed + "\"}";
        const std::string layer = ocilayout::gzip_stored(ocilayout::tar_of({{"f", seed}}));
        blob(repo, config);
        blob(repo, layer);
        return "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) + "\",\"config\":" +
               ocilayout::descriptor(ocilayout::kConfigType, config) + ",\"layers\":[" +
               ocilayout::descriptor(ocilayout::kLayerType, layer) + "]" + extra + "}";
    }
    void store(const std::string &repo, const std::string &ref, const std::string &body) {
        char digest[REG_DIGEST_SIZE] = {};
        char subject[REG_DIGEST_SIZE] = {};
        ASSERT_EQ(reg_manifest_store(repo.c_str(), ref.c_str(), body.data(), body.size(), ocilayout::kManifestType,
                                     digest, subject),
                  0)
            << reg_storage_last_error();
    }
    CurlAnswer put(const std::string &repo, const std::string &ref, const std::string &body,
                   const std::string &type = ocilayout::kManifestType, bool chunked = false) {
        const auto file = server_.scratch() / "put-body";
        bvtest::write_all(file, body);
        std::vector<std::string> args = {"-X", "PUT", "-H", "Content-Type: " + type, "--data-binary", "@" + file.string()};
        if (chunked) args.insert(args.end(), {"-H", "Transfer-Encoding: chunked"});
        return curl(port(), "/v2/" + repo + "/manifests/" + ref, args);
    }
    // Every name of a listing, page after page, following each Link as a client would.
    std::vector<std::string> follow(const std::string &first, const std::string &member, size_t *pages) {
        std::vector<std::string> names;
        std::string path = first;
        *pages = 0;
        while (!path.empty() && *pages < 200) {
            CurlAnswer page = curl(port(), path);
            ++*pages;
            EXPECT_EQ(page.status, 200) << path << ": " << page.body;
            if (page.status != 200) break;
            const std::string key = "\"" + member + "\":[";
            size_t at = page.body.find(key);
            EXPECT_NE(at, std::string::npos) << page.body;
            if (at == std::string::npos) break;
            at += key.size();
            const size_t end = page.body.find(']', at);
            while (at < end) {
                const size_t open = page.body.find('"', at);
                if (open > end) break;
                const size_t close = page.body.find('"', open + 1);
                names.push_back(page.body.substr(open + 1, close - open - 1));
                at = close + 1;
            }
            path.clear();
            const std::string link = page.header("Link");
            if (!link.empty()) {
                EXPECT_EQ(link.front(), '<') << link;
                const size_t close = link.find(">; rel=\"next\"");
                EXPECT_NE(close, std::string::npos) << link;
                if (close != std::string::npos) path = link.substr(1, close - 1);
            }
        }
        return names;
    }
};

TEST_F(ManifestHttp, ServesStoredBytesUncompressedWhateverTheClientAccepts) {
    // Blank-padded JSON would shrink under any compression, so a compressing server shows.
    std::string body = image("lib/app", "bytes");
    body.insert(body.size() - 1, std::string(20000, ' '));
    CurlAnswer created = put("lib/app", "v1", body);
    ASSERT_EQ(created.status, 201) << created.head << created.body;
    const std::string digest = digest_of(body);
    EXPECT_EQ(created.header("Location"), "/v2/lib/app/manifests/" + digest);
    EXPECT_EQ(created.header("Docker-Content-Digest"), digest);

    // Ten tag parameters on a push by digest: one OCI-Tag each, and each tag reads back.
    std::string query;
    for (int i = 0; i < 10; ++i) query += (i ? "&tag=t" : "?tag=t") + std::to_string(i);
    const auto file = server_.scratch() / "tagged-body";
    bvtest::write_all(file, body);
    CurlAnswer tagged = curl(port(), "/v2/lib/app/manifests/" + digest + query,
                             {"-X", "PUT", "-H", std::string("Content-Type: ") + ocilayout::kManifestType,
                              "--data-binary", "@" + file.string()});
    ASSERT_EQ(tagged.status, 201) << tagged.head << tagged.body;
    for (int i = 0; i < 10; ++i) {
        const std::string tag = "t" + std::to_string(i);
        EXPECT_NE(tagged.head.find("OCI-Tag: " + tag + "\r\n"), std::string::npos) << tag << "\n" << tagged.head;
        EXPECT_EQ(curl(port(), "/v2/lib/app/manifests/" + tag, {"-I"}).header("Docker-Content-Digest"), digest) << tag;
    }

    const std::vector<std::string> accepts = {
        "Accept-Encoding: gzip, deflate, br",
        "Accept: application/vnd.docker.distribution.manifest.v2+json",
        "Accept: application/vnd.oci.image.index.v1+json, application/vnd.docker.distribution.manifest.list.v2+json",
        // Only blobs answer ranges; a manifest comes whole however the server got hold of it.
        "Range: bytes=0-9",
    };
    for (const std::string &ref : {std::string("v1"), digest}) {
        for (const auto &accept : accepts) {
            CurlAnswer got = curl(port(), "/v2/lib/app/manifests/" + ref, {"-H", accept});
            const std::string label = ref + " / " + accept;
            ASSERT_EQ(got.status, 200) << label;
            EXPECT_EQ(got.body, body) << label;
            EXPECT_FALSE(got.has("Content-Encoding")) << label << "\n" << got.head;
            EXPECT_EQ(got.header("Content-Length"), std::to_string(body.size())) << label;
            EXPECT_EQ(got.header("Content-Type"), ocilayout::kManifestType) << label;
            EXPECT_EQ(got.header("Docker-Content-Digest"), digest) << label;
        }
        CurlAnswer head = curl(port(), "/v2/lib/app/manifests/" + ref, {"-I"});
        EXPECT_EQ(head.status, 200) << ref;
        EXPECT_EQ(head.body, "") << ref;
        EXPECT_EQ(head.header("Content-Length"), std::to_string(body.size())) << ref;
        EXPECT_EQ(head.header("Docker-Content-Digest"), digest) << ref;
    }

    CurlAnswer tags = curl(port(), "/v2/lib/app/tags/list", {"-H", "Range: bytes=0-3"});
    EXPECT_EQ(tags.status, 200) << tags.head;
    EXPECT_EQ(tags.body, R"({"name":"lib/app","tags":["t0","t1","t2","t3","t4","t5","t6","t7","t8","t9","v1"]})" "\n")
        << tags.head;

    struct Miss {
        std::string path;
        int status;
        const char *code;
    };
    const Miss misses[] = {
        {"/v2/lib/app/manifests/nope", 404, "MANIFEST_UNKNOWN"},
        {"/v2/lib/other/manifests/v1", 404, "NAME_UNKNOWN"},
        {"/v2/lib/app/manifests/sha256:totallywrong", 400, "DIGEST_INVALID"},
        {"/v2/lib/app/manifests/-bad", 404, "MANIFEST_UNKNOWN"},
        {"/v2/lib/other/tags/list", 404, "NAME_UNKNOWN"},
        {"/v2/lib/app/tags/list?n=abc", 400, "UNSUPPORTED"},
        {"/v2/lib/app/referrers/latest", 400, "DIGEST_INVALID"},
        {"/v2/lib/app/tags/list?last=" + std::string(600, 'a'), 400, "TAG_INVALID"},
        {"/v2/_catalog?last=" + std::string(600, 'a'), 400, "NAME_INVALID"},
    };
    for (const auto &m : misses) {
        CurlAnswer a = curl(port(), m.path);
        EXPECT_EQ(a.status, m.status) << m.path << ": " << a.body;
        EXPECT_NE(a.body.find(std::string("\"code\":\"") + m.code + "\""), std::string::npos) << m.path << ": " << a.body;
        EXPECT_EQ(a.header("Docker-Distribution-API-Version"), "registry/2.0") << m.path;
    }
}

TEST_F(ManifestHttp, OversizedManifestsAreRefused) {
    const std::string base = image("app", "big");
    // A chunked body is spooled by the web server and then counts by its size; a refused one
    // leaves nothing stored, one at the limit comes back byte for byte.
    struct Case {
        const char *ref;
        size_t size;
        bool chunked;
        int status;
    };
    const Case cases[] = {
        {"over", REG_MANIFEST_MAX + 1, false, 413},
        {"limit", REG_MANIFEST_MAX, false, 201},
        {"chunked-over", REG_MANIFEST_MAX + 1, true, 413},
        {"chunked-limit", REG_MANIFEST_MAX, true, 201},
    };
    for (const auto &c : cases) {
        const std::string body = base.substr(0, base.size() - 1) + std::string(c.size - base.size(), ' ') + "}";
        CurlAnswer answer = put("app", c.ref, body, ocilayout::kManifestType, c.chunked);
        EXPECT_EQ(answer.status, c.status) << c.ref << ": " << answer.body;
        EXPECT_EQ(answer.body.find("SIZE_INVALID") != std::string::npos, c.status == 413) << c.ref << ": " << answer.body;
        CurlAnswer got = curl(port(), std::string("/v2/app/manifests/") + c.ref);
        EXPECT_TRUE(c.status == 201 ? got.body == body : got.status == 404) << c.ref << ": " << got.status;
    }
}

TEST_F(ManifestHttp, ReferrersBeforeAndAfterAnArtifactArrives) {
    const std::string subject = image("app", "subject");
    ASSERT_EQ(put("app", "v1", subject).status, 201);
    const std::string path = "/v2/app/referrers/" + digest_of(subject);
    CurlAnswer before = curl(port(), path);
    ASSERT_EQ(before.status, 200) << before.body;
    EXPECT_EQ(before.header("Content-Type"), ocilayout::kIndexType);
    EXPECT_EQ(before.body.find("\"digest\""), std::string::npos) << before.body;

    const std::string empty = "{}";
    blob("app", empty);
    const std::string artifact = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                 "\",\"artifactType\":\"application/vnd.example.sbom\",\"config\":" +
                                 ocilayout::descriptor("application/vnd.oci.empty.v1+json", empty) + ",\"layers\":[" +
                                 ocilayout::descriptor("application/vnd.oci.empty.v1+json", empty) + "],\"subject\":" +
                                 ocilayout::descriptor(ocilayout::kManifestType, subject) + "}";
    CurlAnswer pushed = put("app", digest_of(artifact), artifact);
    ASSERT_EQ(pushed.status, 201) << pushed.body;
    EXPECT_EQ(pushed.header("OCI-Subject"), digest_of(subject));

    CurlAnswer after = curl(port(), path);
    EXPECT_EQ(after.status, 200);
    EXPECT_EQ(after.header("Content-Type"), ocilayout::kIndexType);
    EXPECT_NE(after.body.find(digest_of(artifact)), std::string::npos) << after.body;
    EXPECT_FALSE(after.has("OCI-Filters-Applied"));

    CurlAnswer matching = curl(port(), path + "?artifactType=application%2Fvnd.example.sbom");
    EXPECT_EQ(matching.header("OCI-Filters-Applied"), "artifactType");
    EXPECT_NE(matching.body.find(digest_of(artifact)), std::string::npos) << matching.body;
    CurlAnswer other = curl(port(), path + "?artifactType=application/vnd.example.signature");
    EXPECT_EQ(other.status, 200);
    EXPECT_EQ(other.header("OCI-Filters-Applied"), "artifactType");
    EXPECT_EQ(other.body.find("\"digest\""), std::string::npos) << other.body;

    // A referrer larger than a page hides no other: each comes on a page of its own, reached
    // through the Link.
    const std::string large = artifact.substr(0, artifact.size() - 1) + ",\"annotations\":{\"note\":\"" +
                              std::string(1100000, 'n') + "\"}}";
    ASSERT_EQ(put("app", digest_of(large), large).status, 201);
    std::string seen, next = path;
    for (int pages = 0; !next.empty() && pages < 4; ++pages) {
        CurlAnswer page = curl(port(), next);
        ASSERT_EQ(page.status, 200) << page.body.substr(0, 300);
        for (const std::string &d : {digest_of(artifact), digest_of(large)})
            if (page.body.find(d) != std::string::npos) seen += d + " ";
        const std::string link = page.header("Link");
        next = link.empty() ? "" : link.substr(1, link.find(">; rel=\"next\"") - 1);
    }
    EXPECT_EQ(seen, std::min(digest_of(artifact), digest_of(large)) + " " +
                        std::max(digest_of(artifact), digest_of(large)) + " ");
    CurlAnswer no_repo = curl(port(), "/v2/never/pushed/referrers/" + digest_of(subject));
    EXPECT_EQ(no_repo.status, 200) << no_repo.body;
    EXPECT_EQ(no_repo.body.find("\"digest\""), std::string::npos) << no_repo.body;

    // Through sha512 digests: an image and an index of it pushed by digest and read back byte
    // for byte, and a referrer of the index listed under the index's digest.
    const auto digest512 = [](const std::string &body) { return "sha512:" + bvtest::sha512_hex(body); };
    const auto desc512 = [&](const std::string &type, const std::string &body) {
        return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest512(body) +
               "\",\"size\":" + std::to_string(body.size()) + "}";
    };
    const std::string image512 = image("app", "by sha512");
    const std::string index512 = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kIndexType) +
                                 "\",\"manifests\":[" + desc512(ocilayout::kManifestType, image512) + "]}";
    const std::string referrer512 = artifact.substr(0, artifact.find(",\"subject\":")) +
                                    ",\"subject\":" + desc512(ocilayout::kIndexType, index512) + "}";
    for (const auto &[body, type] : {std::pair{image512, ocilayout::kManifestType},
                                     std::pair{index512, ocilayout::kIndexType},
                                     std::pair{referrer512, ocilayout::kManifestType}}) {
        CurlAnswer put512 = put("app", digest512(body), body, type);
        ASSERT_EQ(put512.status, 201) << put512.body;
        EXPECT_EQ(put512.header("Docker-Content-Digest"), digest512(body));
        CurlAnswer got = curl(port(), "/v2/app/manifests/" + digest512(body), {"-H", std::string("Accept: ") + type});
        EXPECT_EQ(got.status, 200) << got.body;
        EXPECT_EQ(got.body, body);
        EXPECT_EQ(got.header("Docker-Content-Digest"), digest512(body));
    }
    // Tags come with a push by digest, the only way to name a sha512 manifest by a tag.
    CurlAnswer tagged = put("app", digest512(index512) + "?tag=multi512&tag=stable512", index512,
                            ocilayout::kIndexType, true);
    EXPECT_EQ(tagged.status, 201) << tagged.body;
    EXPECT_NE(tagged.head.find("OCI-Tag: multi512\r\nOCI-Tag: stable512\r\n"), std::string::npos) << tagged.head;
    CurlAnswer by_tag = curl(port(), "/v2/app/manifests/stable512", {"-H", std::string("Accept: ") + ocilayout::kIndexType});
    EXPECT_EQ(by_tag.body, index512);
    EXPECT_EQ(by_tag.header("Docker-Content-Digest"), digest512(index512));
    CurlAnswer listed = curl(port(), "/v2/app/referrers/" + digest512(index512));
    EXPECT_EQ(listed.status, 200) << listed.body;
    EXPECT_NE(listed.body.find("\"digest\":\"" + digest512(referrer512) + "\""), std::string::npos) << listed.body;
}

TEST_F(ManifestHttp, TagListAndCatalogPageBeyondOneDirectoryListing) {
    const int count = 520;
    const std::string body = image("big", "tags");
    std::vector<std::string> tags;
    for (int i = 0; i < count; ++i) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "v%04d", i);
        tags.push_back(tag);
        store("big", tag, body);
    }
    // Repositories nested below one another and below a shared first component.
    std::vector<std::string> repos = {"big"};
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, i % 2 ? "org/r%04d" : "org/r%04d/sub", i / 2 * 2);
        repos.push_back(name);
        const std::string manifest = image(name, "repo");
        store(name, "latest", manifest);
    }
    std::sort(repos.begin(), repos.end());

    size_t pages = 0;
    EXPECT_EQ(follow("/v2/big/tags/list", "tags", &pages), tags);
    EXPECT_EQ(pages, 1u);  // the default page holds them all
    EXPECT_EQ(follow("/v2/big/tags/list?n=100", "tags", &pages), tags);
    EXPECT_EQ(pages, 6u);
    EXPECT_EQ(follow("/v2/big/tags/list?n=250&last=v0099", "tags", &pages),
              std::vector<std::string>(tags.begin() + 100, tags.end()));
    EXPECT_EQ(pages, 2u);  // a page that ends the list links nowhere
    EXPECT_EQ(follow("/v2/_catalog?n=128", "repositories", &pages), repos);
    EXPECT_EQ(pages, (repos.size() + 127) / 128);
    EXPECT_EQ(follow("/v2/_catalog", "repositories", &pages), repos);
    CurlAnswer none = curl(port(), "/v2/big/tags/list?n=0");
    EXPECT_EQ(none.body, "{\"name\":\"big\",\"tags\":[]}\n");
    EXPECT_FALSE(none.has("Link"));
}

}  // namespace
