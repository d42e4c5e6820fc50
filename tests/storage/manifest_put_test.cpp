// Manifest put's checks: every refusal in the order the checks run, with its kind and nothing
// written; each accepted and refused body kind and media type; the strict JSON parse case by
// case; size limits and very deep nesting; the repository-name grammar.
#include <filesystem>
#include <string>
#include <vector>

#include "manifest_fixture.h"
#include "storage/manifest_json.h"
#include "storage/storage_internal.h"

namespace manifesttest {
namespace {

using std::string;

struct Refusal {
    const char *what;
    string repo, ref, body;
    const char *type;
    reg_error_kind kind;
    string message;
};

TEST_F(ManifestTest, PutRefusesInCheckOrderAndWritesNothing) {
    const string bad_json = "{";
    const string big(REG_MANIFEST_MAX + 1, ' ');
    const string other = image(desc(config_, kOciConfig), {});
    const string long_type(256, 'm');
    const std::vector<Refusal> cases = {
        {"name before reference", "a b", "", bad_json, nullptr, REG_ERR_NAME_INVALID,
         "invalid repository name: a b"},
        {"reference before tag form", "app", "", bad_json, nullptr, REG_ERR_TAG_INVALID,
         "empty reference"},
        {"tag before size", "app", "x/y", big, nullptr, REG_ERR_TAG_INVALID, "invalid tag: x/y"},
        {"dot tag", "app", ".", body_, nullptr, REG_ERR_TAG_INVALID, "invalid tag: ."},
        {"129-character tag", "app", string(129, 't'), body_, nullptr, REG_ERR_TAG_INVALID,
         "invalid tag: " + string(129, 't')},
        {"digest form before size", "app", "sha256:" + string(64, 'A'), big, nullptr,
         REG_ERR_DIGEST_INVALID, "invalid digest reference"},
        {"sha512 of 64 digits", "app", "sha512:" + string(64, 'a'), body_, nullptr,
         REG_ERR_DIGEST_INVALID, "invalid digest reference"},
        {"sha256 of 128 digits", "app", "sha256:" + string(128, 'a'), body_, nullptr,
         REG_ERR_DIGEST_INVALID, "invalid digest reference"},
        {"other algorithm", "app", "sha384:" + string(96, 'a'), body_, nullptr,
         REG_ERR_DIGEST_INVALID, "invalid digest reference"},
        {"size before media type", "app", "t", big, "a\nb", REG_ERR_TOO_LARGE,
         "manifest too large: 4194305 bytes (at most 4194304)"},
        {"control byte in the media type", "app", "t", bad_json,
         "application/vnd.oci.image.manifest.v1+json\r\nX-Injected: 1", REG_ERR_MANIFEST_INVALID,
         "invalid media type"},
        {"control byte in a parameter", "app", "t", body_, "application/json; a=\x01",
         REG_ERR_MANIFEST_INVALID, "invalid media type"},
        {"media type before body", "app", "t", bad_json, long_type.c_str(),
         REG_ERR_MANIFEST_INVALID, "media type too long"},
        {"body before digest", "app", digest_of(body_), bad_json, nullptr,
         REG_ERR_MANIFEST_INVALID, "manifest JSON parse failed"},
        {"digest before references", "app", digest_of(body_),
         image(desc(fake_digest('c'), kOciConfig), {}), nullptr, REG_ERR_DIGEST_INVALID,
         "digest reference does not match the manifest body"},
        // The SHA-256 digits of the body stand in no sha512 reference.
        {"sha512 digest of other bytes", "app", "sha512:" + string(128, 'b'), body_, nullptr,
         REG_ERR_DIGEST_INVALID, "digest reference does not match the manifest body"},
        {"references", "app", "t", image(desc(fake_digest('c'), kOciConfig), {}), nullptr,
         REG_ERR_REFERENCE_UNKNOWN, "manifest names unknown blob " + fake_digest('c')},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.what);
        char digest[REG_DIGEST_SIZE] = "untouched";
        char subject[REG_DIGEST_SIZE] = "untouched";
        EXPECT_EQ(reg_manifest_store(c.repo.c_str(), c.ref.c_str(), c.body.data(), c.body.size(),
                                     c.type, digest, subject),
                  -1);
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(kind(), c.kind);
        EXPECT_STREQ(digest, "untouched");
        EXPECT_STREQ(subject, "untouched");
        EXPECT_FALSE(fs::exists(mdir()));
    }
    EXPECT_EQ(put_status("t", other), 0) << error();  // the same call with a valid body
}

TEST_F(ManifestTest, PutNullArgumentsAndReadinessComeFirst) {
    char d[REG_DIGEST_SIZE];
    const char *b = body_.c_str();
    const size_t n = body_.size();
    EXPECT_EQ(reg_manifest_put(nullptr, "t", b, n, nullptr, d), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(kind(), REG_ERR_ARGUMENT);
    EXPECT_EQ(reg_manifest_put("app", nullptr, b, n, nullptr, d), -1);
    EXPECT_EQ(reg_manifest_put("app", "t", nullptr, n, nullptr, d), -1);
    EXPECT_EQ(reg_manifest_put("app", "t", b, n, nullptr, nullptr), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_manifest_store("app", "t", b, n, nullptr, d, nullptr), 0) << error();
    reg_storage_cleanup();
    EXPECT_EQ(reg_manifest_put("a b", "", b, n, nullptr, d), -1);
    EXPECT_EQ(error(), "not initialized - call reg_storage_init first");
    char mt[128];
    EXPECT_EQ(reg_manifest_get("app", "t", mt, d), nullptr);
    EXPECT_EQ(kind(), REG_ERR_NOT_READY);
    EXPECT_EQ(reg_manifest_exists("app", d), -1);
    EXPECT_EQ(kind(), REG_ERR_NOT_READY);
    EXPECT_EQ(reg_manifest_delete(nullptr, "t"), -1);
    EXPECT_EQ(error(), "NULL argument");
}

// Every form the store accepts, with the media type it is stored and served under.
TEST_F(ManifestTest, AcceptedKindsAndTheirStoredMediaType) {
    const string child = put("child", body_);
    const string docker_config = blob("{\"docker\":1}");
    const string empty = blob("{}");
    const string data = blob("artifact data");
    const string cfg = desc(config_, kOciConfig);
    const string nothing = blob("");
    const string config512 = blob512("{\"config\":512}");
    const string child512 = put(digest512_of(body_), body_);
    const string inner = put("inner", index({desc(child, kOciManifest)}));
    struct Case {
        const char *what;
        string body;
        const char *type;
        string stored;
    };
    const std::vector<Case> cases = {
        {"OCI manifest naming itself", body_, nullptr, kOciManifest},
        {"OCI manifest under its Content-Type with parameters", body_,
         " application/vnd.oci.image.manifest.v1+json ; charset=utf-8", kOciManifest},
        {"image manifest without mediaType: inferred", image(cfg, {desc(layer_)}, ""), nullptr,
         kOciManifest},
        {"image manifest without mediaType under the Docker type", image(cfg, {desc(layer_)}, ""),
         "application/vnd.docker.distribution.manifest.v2+json", kDockerManifest},
        {"empty Content-Type: the body's own", body_, "  ", kOciManifest},
        {"Docker schema 2",
         image(desc(docker_config, "application/vnd.docker.container.image.v1+json"),
               {desc(layer_, "application/vnd.docker.image.rootfs.diff.tar.gzip")}, kDockerManifest),
         kDockerManifest.c_str(), kDockerManifest},
        {"no layers at all", image(cfg, {}), nullptr, kOciManifest},
        {"OCI index", index({desc(child, kOciManifest)}), nullptr, kOciIndex},
        {"index without mediaType: inferred", index({desc(child, kOciManifest)}, ""), nullptr,
         kOciIndex},
        {"empty index", index({}, kOciIndex), kOciIndex.c_str(), kOciIndex},
        {"Docker manifest list",
         index({desc(child, kDockerManifest, 7,
                     R"(,"platform":{"architecture":"amd64","os":"linux"})")},
               kDockerList),
         nullptr, kDockerList},
        {"artifact with artifactType and the empty config",
         image(desc(empty, "application/vnd.oci.empty.v1+json", 2),
               {desc(data, "application/vnd.example.data")}, kOciManifest,
               R"("artifactType":"application/vnd.example+type",)"),
         nullptr, kOciManifest},
        {"artifact with a config type of its own",
         image(desc(config_, "application/vnd.example.config.v1+json"), {desc(data)}), nullptr,
         kOciManifest},
        {"annotations, data and sizes at the edges",
         image(desc(config_, kOciConfig, 0, R"(,"data":"e30=","annotations":{"a":"b"})"),
               {desc(layer_, kOciLayer, 9223372036854775807LL)}, kOciManifest,
               R"("annotations":{"org.opencontainers.image.created":"2024-01-01T00:00:00Z","":""},)"),
         nullptr, kOciManifest},
        {"unknown members are kept, not judged",
         image(cfg, {desc(layer_)}, kOciManifest, R"("x-extra":[1,{"y":null}],)"), nullptr,
         kOciManifest},
        {"config and layer named by sha512 digests",
         image(desc(config512, kOciConfig), {desc(config512), desc(layer_)}), nullptr, kOciManifest},
        {"index of a sha512 child and an index", index({desc(child512, kOciManifest), desc(inner, kOciIndex)}),
         nullptr, kOciIndex},
        {"the empty blob as config, a layer never pushed that says where it is",
         image(desc(nothing, kOciConfig, 0),
               {desc(fake_digest('9'), "application/vnd.oci.image.layer.nondistributable.v1.tar",
                     5, R"(,"urls":["https://example.com/layer"])")}),
         nullptr, kOciManifest},
        {"nesting of exactly the bound: the body and 63 arrays",
         image(cfg, {desc(layer_)}, kOciManifest, "\"x\":" + string(63, '[') + string(63, ']') + ","),
         nullptr, kOciManifest},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char digest[REG_DIGEST_SIZE] = {};
        ASSERT_EQ(reg_manifest_store("app", "t", c.body.data(), c.body.size(), c.type, digest,
                                     nullptr),
                  0)
            << error();
        EXPECT_EQ(digest, digest_of(c.body));
        EXPECT_EQ(get("t"), c.body);
        EXPECT_EQ(got_type, c.stored);
        EXPECT_EQ(bvtest::read_all(ct_file(hex_of(c.body))), c.stored);
    }
}

// With "sparseIndexes" an index may name children never pushed; a blob must still be there.
TEST_F(ManifestTest, SparseIndexesNameChildrenNeverPushed) {
    const string sparse = index({desc(fake_digest('c'), kOciManifest)});
    const string blobless = image(desc(fake_digest('d'), kOciConfig), {});
    EXPECT_EQ(put_status("t", sparse), -1);
    EXPECT_EQ(kind(), REG_ERR_REFERENCE_UNKNOWN);
    bvtest::write_all(root_.path() / "config.json", R"({"sparseIndexes":true})");
    ASSERT_EQ(reg_storage_init(root_.str().c_str()), 0) << error();
    EXPECT_EQ(put("t", sparse), digest_of(sparse));
    EXPECT_EQ(put_status("u", blobless), -1);
    EXPECT_EQ(kind(), REG_ERR_REFERENCE_UNKNOWN);
}

TEST_F(ManifestTest, RefusedBodies) {
    const string cfg = desc(config_, kOciConfig);
    const string child = put("child", body_);
    const auto with_config = [&](const string &config) { return image(config, {desc(layer_)}); };
    const auto with_layer = [&](const string &layer) { return image(cfg, {desc(layer_), layer}); };
    const string d = config_;
    const string kRepeats = "manifest repeats a member name within one object";
    struct Case {
        const char *what;
        string body;
        const char *type;
        string message;
    };
    string many_values = "\"x\":[0";
    for (size_t i = 1; i < reg_internal::kManifestMaxValues; ++i) many_values += ",0";
    const std::vector<Case> cases = {
        {"nesting past the bound", image(cfg, {}, kOciManifest, "\"x\":" + string(64, '[') + string(64, ']') + ","),
         nullptr, "manifest nests arrays and objects deeper than 64 levels"},
        {"more values than the bound", image(cfg, {}, kOciManifest, many_values + "],"), nullptr,
         "manifest holds more than 262144 JSON values"},
        {"no schemaVersion", R"({"config":)" + cfg + R"(,"layers":[]})", nullptr,
         "manifest schemaVersion must be 2"},
        {"schema 1", R"({"schemaVersion":1,"name":"a","tag":"b","fsLayers":[]})", nullptr,
         "manifest schemaVersion must be 2"},
        {"schemaVersion as text", R"({"schemaVersion":"2","config":)" + cfg + R"(,"layers":[]})",
         nullptr, "manifest schemaVersion must be 2"},
        {"schemaVersion 2.0", R"({"schemaVersion":2.0,"config":)" + cfg + R"(,"layers":[]})",
         nullptr, "manifest schemaVersion must be 2"},
        {"schema 1 media type", image(cfg, {}, ""),
         "application/vnd.docker.distribution.manifest.v1+json",
         "manifest media type not supported"},
        {"signed schema 1", image(cfg, {}, ""),
         "application/vnd.docker.distribution.manifest.v1+prettyjws",
         "manifest media type not supported"},
        {"plain JSON", image(cfg, {}, ""), "application/json", "manifest media type not supported"},
        {"unknown own mediaType", image(cfg, {}, "application/x-mine"), nullptr,
         "manifest media type not supported"},
        {"numeric mediaType", image(cfg, {}, "", R"("mediaType":5,)"), nullptr,
         "manifest mediaType must be a string"},
        {"OCI body under the Docker type", body_, kDockerManifest.c_str(),
         "manifest mediaType does not match the media type it is stored under"},
        {"index body under the manifest type", index({desc(child, kOciManifest)}),
         kOciManifest.c_str(), "manifest mediaType does not match the media type it is stored under"},
        {"types differing in case", body_, "application/vnd.oci.image.manifest.v1+JSON",
         "manifest media type not supported"},
        {"neither config nor manifests", R"({"schemaVersion":2,"layers":[]})", nullptr,
         "manifest has neither config nor manifests"},
        {"image manifest with manifests", image(cfg, {}, kOciManifest, R"("manifests":[],)"),
         nullptr, "manifest: an image manifest holds no manifests"},
        {"index with config", index({}, kOciIndex, R"("config":)" + cfg + ","), nullptr,
         "manifest: an image index holds no config or layers"},
        {"index with layers", index({}, kOciIndex, R"("layers":[],)"), nullptr,
         "manifest: an image index holds no config or layers"},
        {"manifest under the index type", image(cfg, {}, ""), kOciIndex.c_str(),
         "manifest: an image index holds no config or layers"},
        {"index under the manifest type", index({}, ""), kOciManifest.c_str(),
         "manifest: an image manifest holds no manifests"},
        {"config missing", R"({"schemaVersion":2,"mediaType":")" + kOciManifest + R"(","layers":[]})",
         nullptr, "manifest config: not a descriptor"},
        {"config a string", with_config("\"x\""), nullptr, "manifest config: not a descriptor"},
        {"config without mediaType", with_config(R"({"digest":")" + d + R"(","size":1})"), nullptr,
         "manifest config: mediaType must be a media type"},
        {"config mediaType empty", with_config(desc(d, "")), nullptr,
         "manifest config: mediaType must be a media type"},
        {"config digest upper case", with_config(desc("sha256:" + string(64, 'A'))), nullptr,
         "manifest config: digest must be sha256 with 64 or sha512 with 128 lower-case hex digits"},
        {"config digest of 63 digits", with_config(desc("sha256:" + string(63, 'a'))), nullptr,
         "manifest config: digest must be sha256 with 64 or sha512 with 128 lower-case hex digits"},
        {"config digest sha512 of 64 digits", with_config(desc("sha512:" + string(64, 'a'))), nullptr,
         "manifest config: digest must be sha256 with 64 or sha512 with 128 lower-case hex digits"},
        {"escaped NUL in a digest", with_config(desc(d + "\\u0000")), nullptr,
         "manifest config: digest must be sha256 with 64 or sha512 with 128 lower-case hex digits"},
        {"numeric digest", with_config(R"({"mediaType":"a/b","digest":1,"size":1})"), nullptr,
         "manifest config: digest must be sha256 with 64 or sha512 with 128 lower-case hex digits"},
        {"size missing", with_config(R"({"mediaType":"a/b","digest":")" + d + "\"}"), nullptr,
         "manifest config: size must be a non-negative integer"},
        {"size negative", with_config(desc(d, kOciConfig, -1)), nullptr,
         "manifest config: size must be a non-negative integer"},
        {"size a fraction", with_config(R"({"mediaType":"a/b","digest":")" + d + R"(","size":1.5})"),
         nullptr, "manifest config: size must be a non-negative integer"},
        {"size with an exponent", with_config(R"({"mediaType":"a/b","digest":")" + d + R"(","size":1e3})"),
         nullptr, "manifest config: size must be a non-negative integer"},
        {"size as text", with_config(R"({"mediaType":"a/b","digest":")" + d + R"(","size":"1"})"),
         nullptr, "manifest config: size must be a non-negative integer"},
        {"size past int64", with_config(R"({"mediaType":"a/b","digest":")" + d + R"(","size":9223372036854775808})"),
         nullptr, "manifest config: size must be a non-negative integer"},
        {"layers missing", R"({"schemaVersion":2,"config":)" + cfg + "}", nullptr,
         "manifest layers must be an array"},
        {"layers null", R"({"schemaVersion":2,"config":)" + cfg + R"(,"layers":null})", nullptr,
         "manifest layers must be an array"},
        {"layers an object", R"({"schemaVersion":2,"config":)" + cfg + R"(,"layers":{}})", nullptr,
         "manifest layers must be an array"},
        {"second layer's digest", with_layer(desc("sha256:")), nullptr,
         "manifest layer 1: digest must be sha256 with 64 or sha512 with 128 lower-case hex digits"},
        {"layer not an object", image(cfg, {"\"x\""}), nullptr, "manifest layer 0: not a descriptor"},
        {"urls not an array", with_layer(desc(d, kOciLayer, 1, R"(,"urls":"http://x")")), nullptr,
         "manifest layer 1: urls must be an array of strings"},
        {"urls holding a number", with_layer(desc(d, kOciLayer, 1, R"(,"urls":["http://x",1])")),
         nullptr, "manifest layer 1: urls must be an array of strings"},
        {"descriptor annotation not a string", with_layer(desc(d, kOciLayer, 1, R"(,"annotations":{"a":1})")),
         nullptr, "manifest layer 1: annotations must map strings to strings"},
        {"descriptor artifactType empty", with_layer(desc(d, kOciLayer, 1, R"(,"artifactType":"")")),
         nullptr, "manifest layer 1: artifactType must be a media type"},
        {"annotations an array", image(cfg, {}, kOciManifest, R"("annotations":[],)"), nullptr,
         "manifest annotations must map strings to strings"},
        {"annotation value null", image(cfg, {}, kOciManifest, R"("annotations":{"a":null},)"),
         nullptr, "manifest annotations must map strings to strings"},
        {"artifactType numeric", image(cfg, {}, kOciManifest, R"("artifactType":1,)"), nullptr,
         "manifest artifactType must be a media type"},
        {"artifactType with a control byte", image(cfg, {}, kOciManifest, R"("artifactType":"a/b\r\nc",)"),
         nullptr, "manifest artifactType must be a media type"},
        {"artifactType of 256 bytes",
         image(cfg, {}, kOciManifest, "\"artifactType\":\"" + string(256, 'a') + "\","), nullptr,
         "manifest artifactType must be a media type"},
        {"manifests not an array", R"({"schemaVersion":2,"manifests":{}})", nullptr,
         "manifest manifests must be an array"},
        {"index entry without size",
         index({R"({"mediaType":")" + kOciManifest + R"(","digest":")" + child + "\"}"}), nullptr,
         "manifest entry 0: size must be a non-negative integer"},
        {"subject not a descriptor", image(cfg, {}, kOciManifest, R"("subject":"x",)"), nullptr,
         "manifest subject: not a descriptor"},
        {"subject digest invalid",
         image(cfg, {}, kOciManifest, "\"subject\":" + desc("sha256:x", kOciManifest) + ","),
         nullptr, "manifest subject: digest must be sha256 with 64 or sha512 with 128 lower-case hex digits"},
        // Clients keep the last of repeated members, this store judged the first.
        {"layers twice, the first checked", image(cfg, {desc(fake_digest('d'))}, kOciManifest,
                                                  "\"layers\":[" + desc(layer_) + "],"),
         nullptr, kRepeats},
        {"layers twice, one spelled with an escape",
         image(cfg, {desc(layer_)}, kOciManifest, R"("la\u0079ers":[],)"), nullptr, kRepeats},
        {"digest twice in a layer", with_layer(desc(d, kOciLayer, 1, ",\"digest\":\"" + d + "\"")),
         nullptr, kRepeats},
        {"annotation key twice", image(cfg, {}, kOciManifest, R"("annotations":{"a":"1","a":"2"},)"),
         nullptr, kRepeats},
        {"platform os twice in an index entry",
         index({desc(child, kOciManifest, 7, R"(,"platform":{"os":"linux","os":"windows"})")}),
         nullptr, kRepeats},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(put_status("t", c.body, c.type), -1);
        EXPECT_EQ(error(), c.message);
        EXPECT_EQ(kind(), REG_ERR_MANIFEST_INVALID);
        EXPECT_FALSE(fs::exists(tag_link("t")));
        if (c.body != body_) {
            EXPECT_FALSE(fs::exists(body_file(hex_of(c.body))));
        }
    }
}

// Bodies that pass or fail the parse alone: the rest of each body is a valid manifest.
TEST_F(ManifestTest, ParseAcceptsStandardJsonOfExactlyTheGivenBytes) {
    const string members = R"("schemaVersion":2,"config":)" + desc(config_, kOciConfig) +
                           R"(,"layers":[])";
    const string valid = "{" + members + "}";
    const auto with = [&](const string &member) { return "{" + members + ",\"x\":" + member + "}"; };
    struct Case {
        const char *what;
        string body;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"plain", valid, true},
        {"surrounding whitespace", " \t\r\n" + valid + " \t\r\n", true},
        {"empty body", "", false},
        {"byte-order mark", "\xEF\xBB\xBF" + valid, false},
        {"NUL after the document", valid + string(1, '\0'), false},
        {"NUL and garbage after", valid + string(1, '\0') + "junk", false},
        {"trailing comma in object", "{" + members + ",}", false},
        {"trailing comma in array", with("[1,]"), false},
        {"block comment", "{/*c*/" + members + "}", false},
        {"line comment", valid + "//c", false},
        {"text after the value", valid + " {}", false},
        {"single quotes", with("'x'"), false},
        {"NaN", with("NaN"), false},
        {"Infinity", with("-Infinity"), false},
        {"1e400", with("1e400"), false},
        {"1.8e308", with("1.8e308"), false},
        {"10e308", with("10e308"), false},
        {"400-digit integer", with(string(400, '9')), false},
        {"largest double", with("1.7976931348623157e308"), true},
        {"just above the largest", with("1.7976931348623159e308"), false},
        {"1e-400 underflows to zero", with("1e-400"), true},
        {"30-digit integer", with("123456789012345678901234567890"), true},
        {"most negative int64", with("-9223372036854775808"), true},
        {"fraction and exponent", with("-0.5E+10"), true},
        {"leading zero", with("01"), false},
        {"invalid UTF-8", with("\"\xC3\x28\""), false},
        {"overlong UTF-8", with("\"\xC0\xAF\""), false},
        {"UTF-8 surrogate", with("\"\xED\xA0\x80\""), false},
        {"valid UTF-8", with("\"gr\xC3\xBC\xC3\x9F \xF0\x9F\x90\xB3\""), true},
        {"raw control byte", with("\"a\tb\""), false},
        // Names compare whole, each within its own object.
        {"a name and the same name after a NUL", with(R"({"a":1,"a\u0000":2,"\u0000":3,"":4})"), true},
        {"one name in nested and sibling objects",
         with(R"({"a":{"a":1,"b":[{"a":2},{"a":3}]},"b":{"a":{}}})"), true},
        {"escapes", R"({"schemaVersion":2,"config":{"mediaType":"a\/b","digest":"\u0073ha256:)" +
                        config_.substr(7) + R"(","size":1},"layers":[]})", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const string before = c.body;
        EXPECT_EQ(put_status("t", c.body), c.accepted ? 0 : -1) << error();
        EXPECT_EQ(c.body, before);
        if (!c.accepted) {
            EXPECT_EQ(error(), "manifest JSON parse failed");
        }
    }
    // A repeated key is refused whichever of the two would pass.
    EXPECT_EQ(put_status("t", "{" + members + ",\"config\":5}"), -1);
    EXPECT_EQ(error(), "manifest repeats a member name within one object");
    EXPECT_EQ(put_status("t", R"({"config":5,)" + members + "}"), -1);
    EXPECT_EQ(error(), "manifest repeats a member name within one object");
}

// Deep nesting stops the parse at the nesting bound, whether the body is well formed or not,
// a manifest or not: neither recursion nor a document of that depth ever builds up.
TEST_F(ManifestTest, DeepNestingIsParsedWithoutRecursion) {
    const size_t depth = 100000;
    const string deep = string(depth, '[') + string(depth, ']');
    const string too_deep = "manifest nests arrays and objects deeper than 64 levels";
    EXPECT_EQ(put_status("t", deep), -1);
    EXPECT_EQ(error(), too_deep);
    const string inside = body_.substr(0, body_.size() - 1) + ",\"x\":" + deep + "}";
    EXPECT_EQ(put_status("t", inside), -1);
    EXPECT_EQ(error(), too_deep);
    EXPECT_EQ(put_status("t", string(depth, '[') + string(depth - 1, ']')), -1);
    EXPECT_EQ(error(), too_deep);
    string objects;
    for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
    EXPECT_EQ(put_status("t", objects + "1" + string(depth, '}')), -1);
    EXPECT_EQ(error(), too_deep);
}

// Bodies up to the limit are stored and read back whole; get, whose result buffer is smaller,
// refuses what it could only return cut.
TEST_F(ManifestTest, BodySizeLimit) {
    string body = body_ + string(REG_MANIFEST_MAX - body_.size(), ' ');
    const string digest = put("t", body);
    std::vector<char> buf(REG_MANIFEST_MAX);
    size_t len = 0;
    char type[REG_MEDIA_TYPE_SIZE];
    char got[REG_DIGEST_SIZE];
    ASSERT_EQ(reg_manifest_read("app", "t", buf.data(), buf.size(), &len, type, got), 0) << error();
    EXPECT_EQ(string(buf.data(), len), body);
    EXPECT_EQ(got, digest);
    EXPECT_EQ(reg_manifest_read("app", "t", buf.data(), buf.size() - 1, &len, type, got), -1);
    EXPECT_EQ(kind(), REG_ERR_TOO_LARGE);
    EXPECT_EQ(get("t"), "<null>");
    EXPECT_EQ(error(), "manifest body too large: app@t");
    EXPECT_EQ(kind(), REG_ERR_TOO_LARGE);
    EXPECT_EQ(got_type, "untouched");

    const string fits = body_ + string(1048575 - body_.size(), ' ');
    put("small", fits);
    EXPECT_EQ(get("small"), fits);

    body.push_back(' ');
    EXPECT_EQ(put_status("big", body), -1);
    EXPECT_EQ(kind(), REG_ERR_TOO_LARGE);
    EXPECT_FALSE(fs::exists(tag_link("big")));
    EXPECT_FALSE(fs::exists(body_file(hex_of(body))));
}

TEST(ManifestRepoName, ComponentsMustBeRealDirectoryNames) {
    using reg_internal::repo_name_valid;
    for (const string &ok : std::vector<string>{"library/app", "A-b_c.1", "a\\b", "a.b", ".a/b.",
                                                "a_", "a/b_", string(255, 'x')}) {
        EXPECT_EQ(repo_name_valid(ok.c_str()), 1) << ok;
        EXPECT_EQ(reg_repo_name_valid(ok.c_str()), 1) << ok;
    }
    for (const string &bad : std::vector<string>{"", string(256, 'x'), "a..b", "../x", "a b", "app:1",
                             "caf\xC3\xA9", ".", "./a", "a/./b", "a/.", "/a", "a/", "a//b", "a\\/b",
                             "\\a", "_a", "a/_manifests", "a\\_layers", "a/_b/c"}) {
        EXPECT_EQ(repo_name_valid(bad.c_str()), 0) << bad;
    }
    EXPECT_EQ(repo_name_valid(nullptr), 0);
}

}  // namespace
}  // namespace manifesttest
