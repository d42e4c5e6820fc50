// The programs as CGI and as FastCGI applications answer alike: one walk through every endpoint
// (uploads in every form, blobs with and without ranges, manifests, tags, catalog, referrers,
// statistics, refusals) sent to a CGI-mode and a FastCGI-mode lighttpd over fresh storage,
// answers compared head and body byte for byte; with blobs streamed by the program, and with
// logins and access rules too. And a
// FastCGI process killed outright is replaced before the next request needs it.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/client_tools.h"
#include "tests/integration/crash_clients.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

using ocilayout::descriptor;
using ocilayout::digest_of;
using regtest::ServerMode;

const char kRules[] = "alice: write=p,q\n*: read=p\n";
const char kAlice[] = "Basic YWxpY2U6c2VjcmV0";  // alice:secret
const char kBob[] = "Basic Ym9iOmh1bnRlcjI=";     // bob:hunter2, who may push nowhere

struct Step {
    std::string label;
    std::string method;
    std::string path;  // "{upload}" stands for the last upload this server started
    regtest::Headers headers;
    std::string body;
    const char *login = kAlice;  // null: no credentials
    bool chunked = false;
};

// The walk. Digests are the same on both servers; upload identifiers are not.
std::vector<Step> walk() {
    std::string layer;
    for (int i = 0; i < 3000; ++i) layer += static_cast<char>('a' + (i * 7) % 26);
    const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\"}";
    const std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                 "\",\"config\":" + descriptor(ocilayout::kConfigType, config) + ",\"layers\":[" +
                                 descriptor(ocilayout::kLayerType, layer) + "]}";
    const std::string unknown_layer = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                      "\",\"config\":" + descriptor(ocilayout::kConfigType, config) + ",\"layers\":[" +
                                      descriptor(ocilayout::kLayerType, "never pushed") + "]}";
    const std::string artifact = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                 "\",\"artifactType\":\"application/vnd.example.sig\",\"config\":" +
                                 descriptor("application/vnd.oci.empty.v1+json", "{}") + ",\"layers\":[" +
                                 descriptor("application/vnd.oci.empty.v1+json", "{}") + "],\"subject\":" +
                                 descriptor(ocilayout::kManifestType, manifest) + "}";
    const std::string blob = "/v2/p/app/blobs/" + digest_of(layer);
    const std::string uploads = "/v2/p/app/blobs/uploads/";
    const std::string m = "/v2/p/app/manifests/";
    const regtest::Headers octets = {{"Content-Type", "application/octet-stream"}};
    const regtest::Headers oci = {{"Content-Type", ocilayout::kManifestType}};
    const regtest::Headers accept = {{"Accept", ocilayout::kManifestType}};
    auto range = [](const std::string &r) { return regtest::Headers{{"Range", r}}; };
    return {
        {"ping", "GET", "/v2/", {}, ""},
        {"ping without login", "GET", "/v2/", {}, "", nullptr},
        {"ping head", "HEAD", "/v2/", {}, ""},
        {"ping, refused method", "DELETE", "/v2/", {}, ""},
        {"no endpoint", "GET", "/v2x", {}, ""},
        {"extension path", "POST", "/v2/p/app/_ext/x", {}, "x"},
        {"start upload", "POST", uploads, {}, ""},
        {"first chunk", "PATCH", "{upload}", {{"Content-Range", "0-999"}, octets[0]}, layer.substr(0, 1000)},
        {"progress", "GET", "{upload}", {}, ""},
        {"chunk out of order", "PATCH", "{upload}", {{"Content-Range", "5-6"}}, "zz"},
        {"chunked chunk", "PATCH", "{upload}", octets, layer.substr(1000, 1500), kAlice, true},
        {"finish", "PUT", "{upload}?digest=" + digest_of(layer), octets, layer.substr(2500)},
        {"finished upload", "GET", "{upload}", {}, ""},
        {"start another", "POST", uploads, {}, ""},
        {"finish, wrong digest", "PUT", "{upload}?digest=" + digest_of("other"), octets, "some"},
        {"after a wrong digest", "GET", "{upload}", {}, ""},
        {"whole blob", "POST", uploads + "?digest=" + digest_of(config), octets, config},
        {"whole blob, wrong digest", "POST", uploads + "?digest=" + digest_of("x"), octets, config},
        {"whole blob, malformed digest", "POST", uploads + "?digest=sha256:xyz", octets, "x"},
        {"empty config", "POST", uploads + "?digest=" + digest_of("{}"), octets, "{}"},
        {"push without rights", "POST", uploads, {}, "", kBob},
        {"push without login", "POST", uploads, {}, "", nullptr},
        {"mount", "POST", "/v2/q/other/blobs/uploads/?mount=" + digest_of(layer) + "&from=p/app", {}, ""},
        {"mount from nowhere", "POST", "/v2/q/other/blobs/uploads/?mount=" + digest_of(layer) + "&from=none/x", {}, ""},
        {"cancel upload", "DELETE", "{upload}", {}, ""},
        {"cancelled upload", "GET", "{upload}", {}, ""},
        {"unknown upload", "PATCH", uploads + "not-an-upload", {}, "x"},
        {"blob", "GET", blob, {}, ""},
        {"blob head", "HEAD", blob, {}, ""},
        {"blob without login", "GET", blob, {}, "", nullptr},
        {"blob range", "GET", blob, range("bytes=10-19"), ""},
        {"blob open range", "GET", blob, range("bytes=2990-"), ""},
        {"blob suffix range", "GET", blob, range("bytes=-5"), ""},
        {"blob range past the end", "GET", blob, range("bytes=5000-6000"), ""},
        {"blob malformed range", "GET", blob, range("bytes=9-2"), ""},
        {"blob several ranges", "GET", blob, range("bytes=0-1,5-6"), ""},
        {"blob range of another entity", "GET", blob, {{"Range", "bytes=0-3"}, {"If-Range", "\"sha256:other\""}}, ""},
        {"blob range head", "HEAD", blob, range("bytes=10-19"), ""},
        {"blob unknown", "GET", "/v2/p/app/blobs/" + digest_of("nothing"), {}, ""},
        {"blob malformed digest", "GET", "/v2/p/app/blobs/sha256:abc", {}, ""},
        {"blob not linked here", "GET", "/v2/q/none/blobs/" + digest_of(layer), {}, ""},
        {"manifest put", "PUT", m + "v1", oci, manifest},
        {"manifest put, not JSON", "PUT", m + "bad", oci, "{not json"},
        {"manifest put, unknown layer", "PUT", m + "bad", oci, unknown_layer},
        {"manifest put, wrong digest", "PUT", m + digest_of("x"), oci, manifest},
        {"second tag", "PUT", m + "v2", oci, manifest},
        {"manifest by tag", "GET", m + "v1", accept, ""},
        {"manifest head", "HEAD", m + "v1", accept, ""},
        {"manifest by digest", "GET", m + digest_of(manifest), accept, ""},
        {"manifest unknown tag", "GET", m + "v9", accept, ""},
        {"manifest malformed tag", "GET", m + "-bad", accept, ""},
        {"manifest, refused method", "POST", m + "v1", {}, ""},
        {"tags", "GET", "/v2/p/app/tags/list", {}, ""},
        {"tags page", "GET", "/v2/p/app/tags/list?n=1", {}, ""},
        {"tags after", "GET", "/v2/p/app/tags/list?n=1&last=v1", {}, ""},
        {"tags, unknown repository", "GET", "/v2/p/none/tags/list", {}, ""},
        {"tags, bad name", "GET", "/v2/UPPER/app/tags/list", {}, ""},
        {"tags, unknown method", "PROPFIND", "/v2/p/app/tags/list", {}, ""},
        {"referrers, none", "GET", "/v2/p/app/referrers/" + digest_of(manifest), {}, ""},
        {"artifact put", "PUT", m + digest_of(artifact), oci, artifact},
        {"referrers", "GET", "/v2/p/app/referrers/" + digest_of(manifest), {}, ""},
        {"referrers filtered", "GET", "/v2/p/app/referrers/" + digest_of(manifest) + "?artifactType=application/vnd.example.sig", {}, ""},
        {"referrers filtered out", "GET", "/v2/p/app/referrers/" + digest_of(manifest) + "?artifactType=x/y", {}, ""},
        {"referrers, malformed digest", "GET", "/v2/p/app/referrers/sha256:abc", {}, ""},
        {"catalog", "GET", "/v2/_catalog", {}, ""},
        {"catalog page", "GET", "/v2/_catalog?n=1", {}, ""},
        {"stats", "GET", "/stats", {}, ""},
        {"delete tag", "DELETE", m + "v2", {}, ""},
        {"delete manifest", "DELETE", m + digest_of(manifest), {}, ""},
        {"deleted manifest", "GET", m + "v1", accept, ""},
        {"delete blob", "DELETE", "/v2/p/app/blobs/" + digest_of(config), {}, ""},
        {"deleted blob", "GET", "/v2/p/app/blobs/" + digest_of(config), {}, ""},
        {"stats after", "GET", "/stats", {}, ""},
    };
}

// One server of the pair, with what its answers need to be compared: its own upload
// identifiers become "<upload N>", dates and file times drop out.
class Side {
public:
    Side(ServerMode mode, const regtest::ServerOptions &base) {
        regtest::ServerOptions o = base;
        o.mode = mode;
        o.fastcgi_max_requests = 5;  // the walk crosses retirements, too
        server_.start(o);
    }
    regtest::RegistryServer &server() { return server_; }

    std::string answer(const Step &step) {
        regtest::HttpRequest req;
        req.method = step.method;
        req.path = step.path;
        if (const size_t at = req.path.find("{upload}"); at != std::string::npos)
            req.path.replace(at, 8, upload_);
        req.headers = step.headers;
        if (step.login) req.headers.push_back({"Authorization", step.login});
        req.body = step.body;
        req.chunked = step.chunked;
        const regtest::HttpResponse r = regtest::http(server_.port(), req);
        const std::string location = r.header("Location");
        if (location.find("/blobs/uploads/") != std::string::npos) upload_ = location.substr(0, location.find('?'));
        // lighttpd frames an answer it has whole by the time it sends the head with a length
        // (and offers ranges of it), one still arriving chunked: which one depends on timing in
        // either mode, even for its own error handler. The programs' own lengths (HEAD answers)
        // and range offers (blobs, with their ETag) are compared.
        const bool blob = r.has("ETag");
        const std::string own_length = "Content-Length: " + std::to_string(r.body.size());
        std::string text;
        for (size_t at = 0; at < r.head.size();) {
            const size_t eol = r.head.find("\r\n", at);
            const std::string line = r.head.substr(at, eol - at);
            at = eol + 2;
            if (line.rfind("Date: ", 0) == 0 || line == "Transfer-Encoding: chunked" ||
                (line == own_length && step.method != "HEAD") || (line == "Accept-Ranges: bytes" && !blob))
                continue;
            text += line.rfind("Last-Modified: ", 0) == 0 ? "Last-Modified: <time>" : line;
            text += "\n";
        }
        return named(text + "\n" + r.body);
    }

private:
    std::string named(std::string text) {
        const std::string marker = "/blobs/uploads/";
        for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
            const size_t start = at + marker.size();
            const size_t end = text.find_first_of("?\r\n\" ", start);
            const std::string id = text.substr(start, end - start);
            if (id.empty() || id[0] == '<' || id == "not-an-upload") continue;
            if (!names_.count(id)) names_[id] = "<upload " + std::to_string(names_.size() + 1) + ">";
        }
        for (const auto &[id, name] : names_)
            for (size_t at = text.find(id); at != std::string::npos; at = text.find(id, at + name.size()))
                text.replace(at, id.size(), name);
        return text;
    }

    regtest::RegistryServer server_;
    std::string upload_ = "/v2/p/app/blobs/uploads/none";
    std::map<std::string, std::string> names_;
};

struct Setup {
    const char *name;
    bool logins;
    bool x_sendfile;  // false: the blob program streams blob bodies itself
};

class ModeParity : public ::testing::TestWithParam<Setup> {
protected:
    regtest::ServerOptions options() {
        regtest::ServerOptions o;
        o.x_sendfile = GetParam().x_sendfile;
        o.extra_configs = {"lighttpd-switches.conf"};
        o.env = {{"BV_ACCESS_FILE", ""}, {"BV_READ_ONLY", ""}, {"BV_DELETE_ENABLED", ""}};
        if (!GetParam().logins) return o;
        const std::string users = (files_.path() / "htpasswd").string();
        for (const auto &[user, password] : {std::pair{"alice", "secret"}, std::pair{"bob", "hunter2"}}) {
            std::vector<std::string> args = {"htpasswd", "-b", "-B", "-C", "4", users, user, password};
            if (user == std::string("alice")) args.insert(args.begin() + 1, "-c");
            EXPECT_EQ(clienttools::run_tool(args).exit_code, 0) << "htpasswd " << user;
        }
        bvtest::write_all(files_.path() / "access", kRules);
        o.extra_configs.push_back("lighttpd-auth.conf");
        o.env = {{"BV_ACCESS_FILE", (files_.path() / "access").string()}, {"BV_READ_ONLY", ""},
                 {"BV_DELETE_ENABLED", ""}, {"BV_HTPASSWD", users}};
        return o;
    }
    bvtest::TempDir files_;
};

TEST_P(ModeParity, EveryAnswerIsTheSameInBothModes) {
    if (GetParam().logins && clienttools::find_tool("htpasswd").empty())
        GTEST_SKIP() << "htpasswd is missing (scripts/deps.sh access)";
    const regtest::ServerOptions base = options();
    Side cgi(ServerMode::cgi, base);
    Side fastcgi(ServerMode::fastcgi, base);
    ASSERT_FALSE(HasFatalFailure());
    int differing = 0;
    for (const Step &step : walk()) {
        const std::string want = cgi.answer(step);
        const std::string got = fastcgi.answer(step);
        EXPECT_EQ(got, want) << step.label << " (" << step.method << " " << step.path << ")";
        if (got != want && ++differing == 8) FAIL() << "and more";
    }
}

INSTANTIATE_TEST_SUITE_P(Setups, ModeParity,
                         ::testing::Values(Setup{"open", false, true}, Setup{"streamed", false, false},
                                           Setup{"logins", true, true}),
                         [](const ::testing::TestParamInfo<Setup> &info) { return std::string(info.param.name); });

// Every program's processes SIGKILLed while idle, then at once a request to each endpoint:
// lighttpd never sees a socket without a process behind it, so none of them fails, and the
// storage still holds what was pushed before.
TEST(FastcgiProcesses, KilledProcessesAreReplacedBeforeTheNextRequest) {
    regtest::ServerOptions o;
    o.mode = ServerMode::fastcgi;
    regtest::RegistryServer server;
    server.start(o);
    ASSERT_FALSE(HasFatalFailure());
    const std::string data = "kept through the kills";
    auto pushed = server.request("POST", "/v2/k/app/blobs/uploads/?digest=" + digest_of(data), {}, data);
    ASSERT_EQ(pushed.status, 201) << pushed.head << pushed.body;
    for (int round = 0; round < 3; ++round) {
        // The processes of the last round come back one by one; a loaded machine takes a while.
        auto programs = crashtest::descendants_named(server.pid(), "v2_");
        for (int i = 0; i < 500 && programs.size() < 8u * 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            programs = crashtest::descendants_named(server.pid(), "v2_");
        }
        ASSERT_GE(programs.size(), 8u * 2) << "two processes for each v2_ program, the authorizer among them";
        for (const auto &[pid, parent] : programs) kill(pid, SIGKILL);
        // A process dies some moments after the signal, and one that meets a connection in its
        // last moments takes it along: the requests go out once every one is gone (its script
        // waits a little before starting the next).
        for (int i = 0; i < 200 && !crashtest::descendants_named(server.pid(), "v2_").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        struct Probe {
            const char *method;
            std::string path;
            int status;
        };
        const Probe probes[] = {
            {"GET", "/v2/", 200},
            {"GET", "/v2/k/app/blobs/" + digest_of(data), 200},
            {"HEAD", "/v2/k/app/blobs/" + digest_of(data), 200},
            {"POST", "/v2/k/app/blobs/uploads/", 202},
            {"GET", "/v2/k/app/manifests/latest", 404},
            {"GET", "/v2/k/app/tags/list", 200},
            {"GET", "/v2/_catalog", 200},
            {"GET", "/v2/k/app/referrers/" + digest_of(data), 200},
        };
        for (const Probe &p : probes) {
            auto r = server.request(p.method, p.path);
            EXPECT_EQ(r.status, p.status) << "round " << round << ": " << p.method << " " << p.path << "\n"
                                          << r.head << r.body;
        }
    }
}

}  // namespace
