// Several clients at once against the programs as FastCGI applications under lighttpd, with
// every process retired after a few requests: each answer is the one a lone request gets, and
// every upload acknowledged is there afterwards. A retiring process must not take the requests
// queued on its socket with it (lighttpd answers those 500).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

using ocilayout::digest_of;

constexpr int kClients = 8;
constexpr int kRequestsPerClient = 40;

class FastcgiLoad : public regtest::RegistryServerTest {
protected:
    regtest::ServerOptions options() const override {
        regtest::ServerOptions o;
        o.mode = regtest::ServerMode::fastcgi;
        o.fastcgi_procs = 2;
        o.fastcgi_max_requests = 7;  // hundreds of retirements over a case's requests
        return o;
    }

    // What went wrong over kClients clients running `each(client, i)` kRequestsPerClient times;
    // `each` returns an empty string for a good answer.
    template <typename Each>
    std::vector<std::string> from_clients(Each each) const {
        std::vector<std::vector<std::string>> faults(kClients);
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c)
            clients.emplace_back([&, c] {
                for (int i = 0; i < kRequestsPerClient; ++i)
                    if (std::string f = each(c, i); !f.empty()) faults[c].push_back(std::move(f));
            });
        for (std::thread &t : clients) t.join();
        std::vector<std::string> all;
        for (auto &f : faults) all.insert(all.end(), f.begin(), f.end());
        return all;
    }
};

std::string shown(const std::vector<std::string> &faults) {
    std::string text;
    for (size_t i = 0; i < faults.size() && i < 5; ++i) text += "\n  " + faults[i];
    return text;
}

TEST_F(FastcgiLoad, NoRequestIsLostWhileProcessesRetire) {
    const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\"}";
    const std::string layer(3000, 'L');
    for (const std::string *blob : {&config, &layer})
        ASSERT_EQ(server_.request("POST", "/v2/load/app/blobs/uploads/?digest=" + digest_of(*blob), {}, *blob).status, 201);
    const std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                 "\",\"config\":" + ocilayout::descriptor(ocilayout::kConfigType, config) +
                                 ",\"layers\":[" + ocilayout::descriptor(ocilayout::kLayerType, layer) + "]}";
    ASSERT_EQ(server_.request("PUT", "/v2/load/app/manifests/v1", {{"Content-Type", ocilayout::kManifestType}}, manifest)
                  .status,
              201);

    struct Case {
        const char *name;
        const char *method;
        std::string path;
        int status;
        std::string body;  // compared for GETs that answer 200
    };
    const std::string blob_path = "/v2/load/app/blobs/" + digest_of(layer);
    const std::vector<Case> cases = {
        {"manifest by tag", "GET", "/v2/load/app/manifests/v1", 200, manifest},
        {"manifest HEAD", "HEAD", "/v2/load/app/manifests/v1", 200, ""},
        {"blob", "GET", blob_path, 200, layer},
        {"blob HEAD", "HEAD", blob_path, 200, ""},
        {"tag list", "GET", "/v2/load/app/tags/list", 200, "{\"name\":\"load/app\",\"tags\":[\"v1\"]}\n"},
        {"unknown tag", "GET", "/v2/load/app/manifests/missing", 404, ""},
        {"refused method", "DELETE", "/v2/", 405, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto faults = from_clients([&](int, int) -> std::string {
            const regtest::HttpResponse r = server_.request(c.method, c.path);
            if (r.status != c.status) return "status " + std::to_string(r.status) + ": " + r.body;
            if (!c.body.empty() && r.body != c.body) return "a body of " + std::to_string(r.body.size()) + " bytes";
            return {};
        });
        EXPECT_TRUE(faults.empty()) << faults.size() << " of " << kClients * kRequestsPerClient
                                    << " answers wrong:" << shown(faults);
    }
}

TEST_F(FastcgiLoad, UploadsAcknowledgedWhileProcessesRetireAreKept) {
    const auto blob = [](int client, int i) {
        return "client " + std::to_string(client) + " blob " + std::to_string(i) + std::string(500, 'b');
    };
    std::vector<std::vector<char>> acknowledged(kClients, std::vector<char>(kRequestsPerClient, 0));
    const auto pushed = from_clients([&](int client, int i) -> std::string {
        const std::string data = blob(client, i);
        const regtest::HttpResponse r =
            server_.request("POST", "/v2/load/up/blobs/uploads/?digest=" + digest_of(data), {}, data);
        acknowledged[client][i] = r.status == 201;
        return r.status == 201 ? std::string() : "push answered " + std::to_string(r.status);
    });
    EXPECT_TRUE(pushed.empty()) << pushed.size() << " pushes not acknowledged:" << shown(pushed);
    std::vector<std::string> missing;
    for (int c = 0; c < kClients; ++c)
        for (int i = 0; i < kRequestsPerClient; ++i)
            if (acknowledged[c][i] &&
                server_.request("GET", "/v2/load/up/blobs/" + digest_of(blob(c, i))).body != blob(c, i))
                missing.push_back("client " + std::to_string(c) + " blob " + std::to_string(i));
    EXPECT_TRUE(missing.empty()) << missing.size() << " acknowledged blobs not served back:" << shown(missing);
}

}  // namespace
