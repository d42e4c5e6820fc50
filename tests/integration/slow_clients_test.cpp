// Slow and stalled clients cost only themselves: with the FastCGI setup the start script runs,
// 64 connections that trickle request bodies at a byte a second or never read their answers
// (uploads, manifest PUTs, manifest GETs, streamed blob GETs) leave everybody else's ping,
// manifest GET, blob HEAD and 10 MiB push answered about as fast as without them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

using ocilayout::descriptor;
using ocilayout::digest_of;
using Clock = std::chrono::steady_clock;

constexpr int kSlowPerKind = 16;

class SlowClients : public regtest::RegistryServerTest {
protected:
    regtest::ServerOptions options() const override {
        regtest::ServerOptions o;
        o.mode = regtest::ServerMode::fastcgi;
        o.fastcgi_procs = 4;            // the start script's defaults
        o.fastcgi_transfer_procs = 32;
        o.fastcgi_max_requests = 0;
        o.x_sendfile = false;           // blob GETs streamed by the program, as under --no-sendfile
        return o;
    }

    int put_blob(const std::string &repo, const std::string &data) const {
        return server_.request("POST", "/v2/" + repo + "/blobs/uploads/?digest=" + digest_of(data),
                               {{"Content-Type", "application/octet-stream"}}, data)
            .status;
    }

    // An open connection that has sent `head` and then nothing.
    int open_with(const std::string &head, bool small_receive_buffer = false) const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (small_receive_buffer) {
            const int size = 4096;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(server_.port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            !regtest::send_all(fd, head)) {
            close(fd);
            return -1;
        }
        return fd;
    }
};

// How long each of the ordinary requests takes, in seconds; -1 for a wrong answer.
struct Timings {
    double ping = -1, manifest = -1, head = -1, push = -1;
};

TEST_F(SlowClients, StalledAndTricklingClientsLeaveOthersUnaffected) {
    std::mt19937_64 rng(23);
    const std::string layer = ocilayout::random_bytes(rng, 8 << 20);
    const std::string config = "{}";
    ASSERT_EQ(put_blob("app", layer), 201);
    ASSERT_EQ(put_blob("app", config), 201);
    const std::string small = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                              "\",\"config\":" + descriptor(ocilayout::kConfigType, config) +
                              ",\"layers\":[" + descriptor(ocilayout::kLayerType, layer) + "]}";
    // Nearly the largest manifest stored: a stalled reader of it would hold a process as long
    // as its answer did not fit the sockets between program and client.
    const std::string big = small.substr(0, small.size() - 1) + ",\"annotations\":{\"pad\":\"" +
                            std::string((4 << 20) - 4096, 'p') + "\"}}";
    const regtest::Headers manifest_type = {{"Content-Type", ocilayout::kManifestType}};
    ASSERT_EQ(server_.request("PUT", "/v2/app/manifests/small", manifest_type, small).status, 201);
    ASSERT_EQ(server_.request("PUT", "/v2/app/manifests/big", manifest_type, big).status, 201);

    const std::string push_body = ocilayout::random_bytes(rng, 10 << 20);
    int pushes = 0;
    const auto measure = [&] {
        Timings t;
        const auto timed = [](auto request) {
            const auto start = Clock::now();
            const bool good = request();
            return good ? std::chrono::duration<double>(Clock::now() - start).count() : -1.0;
        };
        t.ping = timed([&] { return server_.request("GET", "/v2/").status == 200; });
        t.manifest = timed([&] {
            return server_.request("GET", "/v2/app/manifests/small", {{"Accept", ocilayout::kManifestType}}).body == small;
        });
        t.head = timed([&] { return server_.request("HEAD", "/v2/app/blobs/" + digest_of(layer)).status == 200; });
        // Each push is new content, so none is answered from what is stored already.
        std::string body = push_body;
        body[0] = static_cast<char>(++pushes);
        t.push = timed([&] { return put_blob("pushed", body) == 201; });
        return t;
    };
    const Timings usual = measure();
    ASSERT_GE(usual.ping, 0);
    ASSERT_GE(usual.manifest, 0);
    ASSERT_GE(usual.head, 0);
    ASSERT_GE(usual.push, 0);

    std::vector<int> trickling, stalled;
    for (int i = 0; i < kSlowPerKind; ++i) {
        const regtest::HttpResponse started = server_.request("POST", "/v2/slow/blobs/uploads/");
        ASSERT_EQ(started.status, 202);
        trickling.push_back(open_with("PATCH " + started.header("Location") +
                                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
                                      "Content-Length: 1000000\r\n\r\n"));
        trickling.push_back(open_with("PUT /v2/slow/manifests/t" + std::to_string(i) +
                                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + ocilayout::kManifestType +
                                      "\r\nContent-Length: 100000\r\n\r\n{"));
        stalled.push_back(open_with("GET /v2/app/manifests/big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", true));
        stalled.push_back(open_with("GET /v2/app/blobs/" + digest_of(layer) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", true));
    }
    for (int fd : trickling) ASSERT_GE(fd, 0);
    for (int fd : stalled) ASSERT_GE(fd, 0);

    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            for (int fd : trickling) send(fd, "x", 1, MSG_NOSIGNAL);
            for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));  // every slow request has reached its program
    const Timings busy = measure();
    done = true;
    trickle.join();
    for (int fd : trickling) close(fd);
    for (int fd : stalled) close(fd);

    const struct {
        const char *what;
        double usual, busy;
    } rows[] = {{"ping", usual.ping, busy.ping},
                {"manifest GET", usual.manifest, busy.manifest},
                {"blob HEAD", usual.head, busy.head},
                {"10 MiB push", usual.push, busy.push}};
    for (const auto &row : rows) {
        EXPECT_GE(row.busy, 0) << row.what << " failed beside the slow clients";
        EXPECT_LE(row.busy, row.usual + 1.0) << row.what << ": " << row.usual << " s alone, " << row.busy
                                             << " s beside " << 4 * kSlowPerKind << " slow clients";
    }
}

}  // namespace
