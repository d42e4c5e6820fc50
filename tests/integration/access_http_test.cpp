// Logins, access rules and HTTPS through lighttpd: the 401 a client without credentials gets
// (challenge, API version, envelope), 403 for pushes outside a user's prefixes, mounts that
// fall back to uploads, reads without login, every refusal given before lighttpd takes the body
// (the authorizer), skopeo logging in, pushing and pulling, and a push over TLS checked against
// a CA made here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;
using clienttools::curl;
using clienttools::CurlAnswer;

const char kRules[] =
    "# who may push where; everyone may read public/ and what alice pushes\n"
    "alice: write=alice,team\n"
    "bob:   write=bob\n"
    "*:     read=public,alice\n";

std::string envelope(const std::string &code, const std::string &message) {
    return "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}]}\n";
}

// A registry behind lighttpd with logins (alice/secret, bob/hunter2) and the rules above.
class AccessServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(clienttools::find_tool("htpasswd").empty()) << "htpasswd is missing (scripts/deps.sh access)";
        fs::create_directories(files_.path() / "tmp");
        const std::string users = path("htpasswd");
        // bcrypt at its lowest cost: the test checks the wiring, not the hash's strength.
        for (const auto &[user, password] : {std::pair{"alice", "secret"}, std::pair{"bob", "hunter2"}}) {
            std::vector<std::string> args = {"htpasswd", "-b", "-B", "-C", "4", users, user, password};
            if (user == std::string("alice")) args.insert(args.begin() + 1, "-c");
            auto made = clienttools::run_tool(args);
            ASSERT_EQ(made.exit_code, 0) << made.out;
        }
        bvtest::write_all(path("access"), kRules);
    }

    std::string path(const std::string &name) const { return (files_.path() / name).string(); }

    // `switches` override the read-only and delete switches (BV_READ_ONLY, BV_DELETE_ENABLED).
    regtest::ServerOptions options(bool anonymous_pull, bool tls = false, regtest::Headers switches = {}) const {
        regtest::ServerOptions options;
        options.extra_configs = {"lighttpd-switches.conf", "lighttpd-auth.conf"};
        if (anonymous_pull) options.extra_configs.push_back("lighttpd-auth-anonymous-pull.conf");
        if (tls) options.extra_configs.push_back("lighttpd-tls.conf");
        options.env = {{"BV_HTPASSWD", path("htpasswd")}, {"BV_ACCESS_FILE", path("access")},
                       {"BV_READ_ONLY", ""},        {"BV_DELETE_ENABLED", ""},
                       {"BV_TLS_CERT", path("server.crt")}, {"BV_TLS_KEY", path("server.key")}};
        options.env.insert(options.env.end(), switches.begin(), switches.end());
        return options;
    }
    void start(bool anonymous_pull, bool tls = false) { server_.start(options(anonymous_pull, tls)); }
    int port() const { return server_.port(); }

    // A blob pushed to `repo` as alice in one POST; its digest.
    std::string push_blob(const std::string &repo, const std::string &data) {
        const std::string digest = ocilayout::digest_of(data);
        auto r = curl(port(), "/v2/" + repo + "/blobs/uploads/?digest=" + digest,
                      {"-u", "alice:secret", "-X", "POST", "--data-binary", data,
                       "-H", "Content-Type: application/octet-stream"});
        EXPECT_EQ(r.status, 201) << r.head << r.body;
        return digest;
    }

    bvtest::TempDir files_;
    regtest::RegistryServer server_;
};

void expect_unauthorized(const CurlAnswer &r, bool head, const std::string &what) {
    EXPECT_EQ(r.status, 401) << what << "\n" << r.head;
    EXPECT_EQ(r.header("WWW-Authenticate").rfind("Basic realm=\"registry\"", 0), 0u) << what << "\n" << r.head;
    EXPECT_EQ(r.header("Docker-Distribution-API-Version"), "registry/2.0") << what;
    EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8") << what;
    if (head) {
        EXPECT_EQ(r.body, "") << what;
    } else {
        EXPECT_NE(r.body.find("{\"errors\":[{\"code\":\"UNAUTHORIZED\""), std::string::npos) << what << "\n" << r.body;
    }
}

TEST_F(AccessServer, EveryEndpointAsksForALoginAndTheRulesDecideTheRest) {
    start(false);
    const std::string digest = ocilayout::digest_of("x");
    const struct {
        const char *label;
        std::vector<std::string> args;
        std::string path;
        bool head;
    } challenged[] = {
        {"version check", {}, "/v2/", false},
        {"version check HEAD", {"-I"}, "/v2/", true},
        {"wrong password", {"-u", "alice:wrong"}, "/v2/", false},
        {"unknown user", {"-u", "mallory:secret"}, "/v2/", false},
        {"empty credentials", {"-u", ":"}, "/v2/", false},
        {"tag list", {}, "/v2/public/app/tags/list", false},
        {"manifest HEAD", {"-I"}, "/v2/public/app/manifests/v1", true},
        {"blob", {}, "/v2/public/app/blobs/" + digest, false},
        {"catalog", {}, "/v2/_catalog", false},
        {"upload", {"-X", "POST", "-H", "Content-Length: 0"}, "/v2/alice/app/blobs/uploads/", false},
        {"delete", {"-X", "DELETE"}, "/v2/alice/app/manifests/" + digest, false},
    };
    for (const auto &c : challenged) expect_unauthorized(curl(port(), c.path, c.args), c.head, c.label);

    auto ping = curl(port(), "/v2/", {"-u", "alice:secret"});
    EXPECT_EQ(ping.status, 200) << ping.head;
    EXPECT_EQ(ping.body, "{}\n");

    // Pushes inside her prefixes go through; outside them the program refuses with 403.
    const std::string blob = push_blob("alice/app", "layer bytes");
    auto refused = curl(port(), "/v2/bob/app/blobs/uploads/", {"-u", "alice:secret", "-X", "POST", "-H", "Content-Length: 0"});
    EXPECT_EQ(refused.status, 403) << refused.head;
    EXPECT_EQ(refused.header("Docker-Distribution-API-Version"), "registry/2.0");
    EXPECT_EQ(refused.body, envelope("DENIED", "this user may not push to this repository"));
    auto teamx = curl(port(), "/v2/teamx/blobs/uploads/", {"-u", "alice:secret", "-X", "POST", "-H", "Content-Length: 0"});
    EXPECT_EQ(teamx.status, 403) << "a prefix covers whole name components only";
    auto bob_reads = curl(port(), "/v2/alice/app/blobs/" + blob, {"-u", "bob:hunter2"});
    EXPECT_EQ(bob_reads.status, 200) << "the * line lets every user read alice/";
    EXPECT_EQ(bob_reads.body, "layer bytes");
    auto bob_deletes = curl(port(), "/v2/alice/app/blobs/" + blob, {"-u", "bob:hunter2", "-X", "DELETE"});
    EXPECT_EQ(bob_deletes.status, 403);
    EXPECT_EQ(bob_deletes.body, envelope("DENIED", "this user may not delete from this repository"));

    // A mount from a repository the user may read links the blob; from one they may not, the
    // client gets an ordinary upload and learns nothing of the other repository's content.
    const std::string hidden = push_blob("team/secret", "team only");
    const std::string mount = "/blobs/uploads/?mount=";
    auto mounted = curl(port(), "/v2/bob/copy" + mount + blob + "&from=alice/app",
                        {"-u", "bob:hunter2", "-X", "POST", "-H", "Content-Length: 0"});
    EXPECT_EQ(mounted.status, 201) << mounted.head;
    auto fallback = curl(port(), "/v2/bob/copy" + mount + hidden + "&from=team/secret",
                         {"-u", "bob:hunter2", "-X", "POST", "-H", "Content-Length: 0"});
    EXPECT_EQ(fallback.status, 202) << fallback.head;
    EXPECT_EQ(curl(port(), "/v2/bob/copy/blobs/" + hidden, {"-u", "bob:hunter2", "-I"}).status, 404);
}

TEST_F(AccessServer, AnonymousPullReadsWithoutLoginButWritesNeedOne) {
    start(true);
    const std::string blob = push_blob("alice/app", "public layer");
    // /v2/ still challenges, so clients know to send credentials with their pushes.
    expect_unauthorized(curl(port(), "/v2/"), false, "version check");
    auto read = curl(port(), "/v2/alice/app/blobs/" + blob);
    EXPECT_EQ(read.status, 200) << read.head;
    EXPECT_EQ(read.body, "public layer");
    EXPECT_EQ(curl(port(), "/v2/alice/app/blobs/" + blob, {"-u", ":"}).status, 200) << "an empty pair is no login";
    auto hidden = curl(port(), "/v2/team/x/tags/list");
    EXPECT_EQ(hidden.status, 403) << "the rules still decide what anonymous requests read";
    EXPECT_EQ(hidden.body, envelope("DENIED", "anonymous requests may not read this repository"));
    expect_unauthorized(curl(port(), "/v2/alice/app/blobs/uploads/", {"-X", "POST", "-H", "Content-Length: 0"}),
                        false, "anonymous upload");
    expect_unauthorized(curl(port(), "/v2/alice/app/blobs/" + blob, {"-X", "DELETE"}), false, "anonymous delete");
    expect_unauthorized(curl(port(), "/v2/alice/app/blobs/" + blob, {"-u", "alice:wrong"}), false,
                        "a read with wrong credentials");
    // A read with credentials counts as that user's.
    const std::string team = push_blob("team/x", "team layer");
    EXPECT_EQ(curl(port(), "/v2/team/x/blobs/" + team, {"-u", "alice:secret"}).status, 200);
}

// The most bytes lighttpd's spool directory held at any moment while `send` ran.
template <typename Send>
uintmax_t spool_peak(const fs::path &spool, Send send) {
    std::atomic<bool> done{false};
    std::atomic<uintmax_t> peak{0};
    std::thread watcher([&] {
        while (!done) {
            uintmax_t bytes = 0;
            std::error_code ec;
            for (const auto &entry : fs::directory_iterator(spool, ec)) {
                // A spool file lighttpd removes between the listing and the stat counts nothing
                // (file_size answers uintmax_t(-1) then).
                std::error_code gone;
                const uintmax_t size = entry.file_size(gone);
                if (!gone) bytes += size;
            }
            if (bytes > peak) peak = bytes;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    send();
    done = true;
    watcher.join();
    return peak;
}

// What a program refuses before its handler runs is refused before lighttpd takes any byte of
// the body: under FastCGI the authorizer answers from the request's head, so a chunked body,
// which lighttpd otherwise takes in whole into its spool directory first, never lands there.
// Without FastCGI lighttpd has no authorizer: the answers are checked, the spool is not.
TEST_F(AccessServer, RefusalsComeBeforeTheBodyIsTaken) {
    server_.start(options(false, false, {{"BV_DELETE_ENABLED", "0"}}));
    regtest::RegistryServer read_only;
    read_only.start(options(false, false, {{"BV_READ_ONLY", "1"}}));
    ASSERT_FALSE(HasFatalFailure());
    const bool authorizer = server_.mode() == regtest::ServerMode::fastcgi;
    const regtest::Headers alice = {{"Authorization", "Basic YWxpY2U6c2VjcmV0"}};
    const regtest::Headers bob = {{"Authorization", "Basic Ym9iOmh1bnRlcjI="}};
    const std::string blob = push_blob("alice/app", "kept layer");
    const std::string large(5u << 20, 'x');  // over the manifest limit, several spool files' worth

    const struct {
        const char *label;
        const regtest::RegistryServer &server;
        regtest::Headers login;
        const char *method;
        std::string path;
        bool chunked;
        int status;
        std::string body;
        std::string allow;
    } refused[] = {
        {"read-only manifest", read_only, alice, "PUT", "/v2/alice/app/manifests/v1", true, 405,
         envelope("UNSUPPORTED", "the registry is read-only"), ""},
        {"read-only chunk", read_only, alice, "PATCH", "/v2/alice/app/blobs/uploads/some-id", true, 405,
         envelope("UNSUPPORTED", "the registry is read-only"), ""},
        {"reader's manifest", server_, bob, "PUT", "/v2/alice/app/manifests/v1", true, 403,
         envelope("DENIED", "this user may not push to this repository"), ""},
        {"reader's chunk", server_, bob, "PATCH", "/v2/alice/app/blobs/uploads/some-id", true, 403,
         envelope("DENIED", "this user may not push to this repository"), ""},
        {"deletes off", server_, alice, "DELETE", "/v2/alice/app/blobs/" + blob, true, 405,
         envelope("UNSUPPORTED", "deletes are disabled on this registry"), ""},
        // lighttpd refuses the announced length first: no route takes more than it can use.
        {"manifest over 4 MiB", server_, alice, "PUT", "/v2/alice/app/manifests/v1", false, 413,
         envelope("SIZE_INVALID", "the request body is too large (413)"), ""},
        {"unknown method", server_, alice, "PATCH", "/v2/alice/app/manifests/v1", true, 405,
         envelope("UNSUPPORTED", "The method is not allowed for this resource"), "GET, HEAD, PUT, DELETE"},
        {"version check method", server_, alice, "PUT", "/v2/", true, 405,
         envelope("UNSUPPORTED", "Method not allowed for /v2/"), ""},
        {"invalid name", server_, alice, "PUT", "/v2/Alice/manifests/v1", true, 400,
         envelope("NAME_INVALID", "invalid repository name"), ""},
    };
    for (const auto &c : refused) {
        regtest::HttpRequest request;
        request.method = c.method;
        request.path = c.path;
        request.headers = c.login;
        request.body = large;
        request.chunked = c.chunked;
        regtest::HttpResponse r;
        const uintmax_t peak =
            spool_peak(c.server.scratch() / "spool", [&] { r = regtest::http(c.server.port(), request); });
        if (!authorizer && r.status == 413 && c.path.find("/blobs/uploads/") == std::string::npos) {
            // Without the authorizer lighttpd takes the chunked body up to its route's limit
            // (4 MiB for manifests, 64 KiB where no body is read) and refuses the rest itself.
            EXPECT_LE(peak, 4u << 20) << c.label;
            continue;
        }
        EXPECT_EQ(r.status, c.status) << c.label << "\n" << r.head << r.body;
        EXPECT_EQ(r.body, c.body) << c.label;
        EXPECT_EQ(r.header("Allow"), c.allow) << c.label;
        if (authorizer) {
            EXPECT_LT(peak, 16u << 10) << c.label << ": the body was taken before the refusal";
        }
    }

    // A push the rules allow still goes through, its manifest chunked.
    ocilayout::Layout layout(11);
    const ocilayout::Image image = layout.image("amd64", 1);
    for (const std::string &blob_bytes : {image.config, image.layers[0]}) {
        auto pushed = regtest::http(port(), "POST", "/v2/alice/app/blobs/uploads/?digest=" +
                                    ocilayout::digest_of(blob_bytes), alice, blob_bytes);
        ASSERT_EQ(pushed.status, 201) << pushed.head << pushed.body;
    }
    regtest::HttpRequest put;
    put.method = "PUT";
    put.path = "/v2/alice/app/manifests/v1";
    put.headers = {alice[0], {"Content-Type", ocilayout::kManifestType}};
    put.body = image.manifest;
    put.chunked = true;
    put.chunk_size = 100;
    auto stored = regtest::http(port(), put);
    EXPECT_EQ(stored.status, 201) << stored.head << stored.body;
    EXPECT_EQ(regtest::http(port(), "GET", "/v2/alice/app/manifests/v1", alice).body, image.manifest);
}

class AccessSkopeo : public AccessServer {
protected:
    void SetUp() override {
        ASSERT_FALSE(clienttools::find_tool("skopeo").empty()) << "skopeo is not installed (scripts/deps.sh server)";
        AccessServer::SetUp();
        bvtest::write_all(path("policy.json"), "{\"default\":[{\"type\":\"insecureAcceptAnything\"}]}");
        bvtest::write_all(path("registries.conf"), "");
        ocilayout::Layout layout(7);
        image_ = layout.image("amd64", 1);
        layout.write(path("src"), {{"v1", {ocilayout::kManifestType, image_.manifest}}});
    }

    std::string remote(const std::string &ref) const {
        return "docker://127.0.0.1:" + std::to_string(port()) + "/" + ref;
    }
    bvtest::ProcessResult skopeo(std::vector<std::string> args) {
        args.insert(args.begin(), {"skopeo", "--policy", path("policy.json"), "--tmpdir", path("tmp")});
        last_ = clienttools::joined(args);
        return clienttools::run_tool(args, {{"CONTAINERS_REGISTRIES_CONF", path("registries.conf")},
                                            {"REGISTRY_AUTH_FILE", path("auth.json")}});
    }
    std::string src() const { return "oci:" + path("src") + ":v1"; }

    ocilayout::Image image_;
    std::string last_;
};

TEST_F(AccessSkopeo, LoginPushAndAnonymousPull) {
    start(true);
    const std::string host = "127.0.0.1:" + std::to_string(port());
    auto wrong = skopeo({"login", "--tls-verify=false", "-u", "alice", "-p", "nope", host});
    EXPECT_NE(wrong.exit_code, 0) << last_ << "\n" << wrong.out;
    auto login = skopeo({"login", "--tls-verify=false", "-u", "alice", "-p", "secret", host});
    ASSERT_EQ(login.exit_code, 0) << last_ << "\n" << login.out;

    // The push takes the stored login from the auth file.
    auto pushed = skopeo({"copy", "--dest-tls-verify=false", src(), remote("alice/app:v1")});
    ASSERT_EQ(pushed.exit_code, 0) << last_ << "\n" << pushed.out;
    EXPECT_EQ(curl(port(), "/v2/alice/app/manifests/v1").body, image_.manifest);

    // public/ is hers to read, not to push to: the upload itself is refused, with the reason.
    auto outside = skopeo({"copy", "--dest-tls-verify=false", src(), remote("public/app:v1")});
    EXPECT_NE(outside.exit_code, 0) << last_ << "\n" << outside.out;
    EXPECT_NE(outside.out.find("this user may not push to this repository"), std::string::npos) << outside.out;
    EXPECT_EQ(curl(port(), "/v2/public/app/manifests/v1").status, 404);

    auto pulled = skopeo({"copy", "--src-tls-verify=false", "--src-no-creds", "--dest-oci-accept-uncompressed-layers", remote("alice/app:v1"),
                          "oci:" + path("back") + ":v1"});
    EXPECT_EQ(pulled.exit_code, 0) << last_ << "\n" << pulled.out;
    EXPECT_TRUE(fs::exists(fs::path(path("back")) / "blobs" / "sha256" / bvtest::sha256_hex(image_.layers[0])));
}

TEST_F(AccessSkopeo, PushOverTlsCheckedAgainstTheTestsCa) {
    // A CA of our own and a server certificate for 127.0.0.1 signed by it.
    const std::string certs = path("certs");
    fs::create_directories(certs);
    bvtest::write_all(path("server.ext"),
                      "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    for (const std::vector<std::string> &cmd : std::vector<std::vector<std::string>>{
             {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
              "-keyout", path("ca.key"), "-out", certs + "/ca.crt", "-days", "1", "-subj", "/CN=registry test CA"},
             {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
              path("server.key"), "-out", path("server.csr"), "-subj", "/CN=127.0.0.1"},
             {"openssl", "x509", "-req", "-in", path("server.csr"), "-CA", certs + "/ca.crt", "-CAkey", path("ca.key"),
              "-CAcreateserial", "-out", path("server.crt"), "-days", "1", "-extfile", path("server.ext")}}) {
        auto r = clienttools::run_tool(cmd);
        ASSERT_EQ(r.exit_code, 0) << clienttools::joined(cmd) << "\n" << r.out;
    }
    start(false, true);
    const std::string url = "https://127.0.0.1:" + std::to_string(port()) + "/v2/";

    auto untrusted = clienttools::run_tool({"curl", "-s", "-S", "-o", "/dev/null", url});
    EXPECT_NE(untrusted.exit_code, 0) << "a certificate of an unknown CA must not be trusted";
    auto trusted = clienttools::run_tool({"curl", "-s", "-S", "--cacert", certs + "/ca.crt", "-u", "alice:secret", url});
    EXPECT_EQ(trusted.exit_code, 0) << trusted.out;
    EXPECT_EQ(trusted.out, "{}\n");

    auto without_ca = skopeo({"copy", "--dest-creds", "alice:secret", src(), remote("alice/tls:v1")});
    EXPECT_NE(without_ca.exit_code, 0) << "skopeo verifies by default: " << without_ca.out;
    auto pushed = skopeo({"copy", "--dest-cert-dir", certs, "--dest-creds", "alice:secret", src(), remote("alice/tls:v1")});
    ASSERT_EQ(pushed.exit_code, 0) << last_ << "\n" << pushed.out;
    auto inspect = skopeo({"inspect", "--raw", "--cert-dir", certs, "--creds", "alice:secret", remote("alice/tls:v1")});
    EXPECT_EQ(inspect.exit_code, 0) << last_ << "\n" << inspect.out;
    EXPECT_EQ(inspect.out, image_.manifest);
}

}  // namespace
