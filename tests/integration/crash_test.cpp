// Endpoint programs SIGKILLed at random moments while several clients push and delete through
// lighttpd and collections with a grace of seconds run (half of them killed too): afterwards nothing
// verifies corrupt, every acknowledged manifest and tag and every blob a stored manifest names
// pulls back byte for byte, every tag names a stored manifest, and a last collection reclaims
// the rest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/integration/crash_clients.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;
using crashtest::known;

constexpr int kClients = 4;
constexpr int kKillLimit = 250;
constexpr auto kRunFor = std::chrono::seconds(25);

// Problems are gathered and shown a few at a time, so one fault does not bury the others.
class findings {
public:
    void add(const std::string &what) {
        std::lock_guard<std::mutex> hold(lock_);
        if (all_.size() < 40) all_.push_back(what);
        ++count_;
    }
    size_t count() const { return count_; }
    std::string text() const {
        std::string out;
        for (const std::string &s : all_) out += "  " + s + "\n";
        return out;
    }

private:
    std::mutex lock_;
    std::vector<std::string> all_;
    size_t count_ = 0;
};

void add_problem(void *ctx, const char *kind, const char *line) {
    static_cast<findings *>(ctx)->add(std::string("verify: ") + kind + ": " + line);
}

pid_t server_pid() {
    const std::vector<pid_t> found = crashtest::children_named(getpid(), "lighttpd");
    return found.empty() ? -1 : found[0];
}

class CrashTest : public regtest::RegistryServerTest {
protected:
    void TearDown() override { reg_storage_cleanup(); }
    bool direct_ = false;

    // The killed programs' own clean-up (an append cut back, a claim undone) may still run
    // after the last client is answered.
    void wait_for_quiet(pid_t server) const {
        for (int i = 0; i < 200 && !crashtest::children_named(server, "v2_").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }

    void verify(findings &out) const {
        reg_verify_result res{};
        ASSERT_EQ(reg_verify_run(add_problem, &out, &res), 0) << reg_storage_last_error();
        EXPECT_GT(res.manifests, 0);
    }

    // A blob or manifest by HTTP; after the collection (`direct_`) through the engine, which
    // answers the many look-ups far faster than a program started for each.
    std::string pull(const std::string &repo, const std::string &kind, const std::string &ref,
                     int *status) const {
        if (!direct_) {
            const regtest::HttpResponse r = server_.request(
                "GET", "/v2/" + repo + "/" + kind + "/" + ref, {{"Accept", crashtest::kManifestType}});
            *status = r.status;
            return r.body;
        }
        *status = 404;
        if (kind == "blobs") {
            char path[4096];
            if (reg_blob_linked(repo.c_str(), ref.c_str()) != 1 ||
                reg_blob_get_filepath(ref.c_str(), path, sizeof path) != 0)
                return {};
            *status = 200;
            return bvtest::read_all(path);
        }
        std::string body(1 << 16, '\0');
        size_t len = 0;
        char type[REG_MEDIA_TYPE_SIZE], digest[REG_DIGEST_SIZE];
        if (reg_manifest_read(repo.c_str(), ref.c_str(), &body[0], body.size(), &len, type, digest) != 0) {
            if (reg_storage_last_error_kind() != REG_ERR_NOT_FOUND) *status = 500;
            return {};
        }
        *status = 200;
        return body.substr(0, len);
    }

    // Every item a client knows the state of is found in that state, byte for byte; with
    // `after_collection`, links no stored image names are gone and are not asked for.
    void check_acknowledged(const crashtest::client_log &log, bool after_collection,
                            findings &out) const {
        // The blobs an image that is stored names: a collection keeps their links.
        std::set<std::string> needed;
        const fs::path manifests = server_.storage_root() / "repositories" / log.repo / "_manifests";
        for (const auto &[digest, img] : log.images)
            if (img.state == known::present || fs::exists(manifests / digest.substr(7)))
                needed.insert(img.blobs.begin(), img.blobs.end());
        int status = 0;
        for (const auto &[digest, state] : log.blobs) {
            if (state == known::unknown || (after_collection && !needed.count(digest))) continue;
            const std::string body = pull(log.repo, "blobs", digest, &status);
            if (state == known::present && (status != 200 || body != log.blob_bytes.at(digest)))
                out.add(log.repo + " acknowledged blob " + digest + ": " + std::to_string(status));
            if (state == known::absent && status != 404)
                out.add(log.repo + " deleted blob " + digest + ": " + std::to_string(status));
        }
        for (const auto &[digest, img] : log.images) {
            if (img.state == known::unknown) continue;
            const std::string body = pull(log.repo, "manifests", digest, &status);
            if (img.state == known::present && (status != 200 || body != img.body))
                out.add(log.repo + " acknowledged manifest " + digest + ": " + std::to_string(status));
            if (img.state == known::absent && status != 404)
                out.add(log.repo + " deleted manifest " + digest + ": " + std::to_string(status));
        }
        // A stored image's blobs are all there, also after a collection.
        for (const std::string &blob : needed)
            if (log.blobs.at(blob) != known::present && (pull(log.repo, "blobs", blob, &status), status != 200))
                out.add(log.repo + " a stored manifest names missing blob " + blob);
        for (const auto &[name, tag] : log.tags) {
            if (tag.state == known::unknown) continue;
            const std::string body = pull(log.repo, "manifests", name, &status);
            if (tag.state == known::present &&
                (status != 200 || body != log.images.at(tag.digest).body))
                out.add(log.repo + " acknowledged tag " + name + ": " + std::to_string(status));
            if (tag.state == known::absent && status != 404)
                out.add(log.repo + " deleted tag " + name + ": " + std::to_string(status));
        }
    }

    // Whatever the tag list holds, acknowledged or not, names a manifest that is stored.
    void check_tags_resolve(const std::string &repo, findings &out) const {
        std::string body;
        if (direct_) {
            const char *doc = reg_tags_list_json(repo.c_str());
            body = doc ? doc : "";
        } else {
            const regtest::HttpResponse list = server_.request("GET", "/v2/" + repo + "/tags/list?n=5000");
            if (list.status == 200) body = list.body;
        }
        if (body.empty()) {
            out.add(repo + " tag list cannot be read");
            return;
        }
        const size_t open = body.find("\"tags\":[");
        for (size_t at = open == std::string::npos ? body.size() : body.find('"', open + 8);
             at < body.size() && body[at] == '"';) {
            const size_t end = body.find('"', at + 1);
            const std::string name = body.substr(at + 1, end - at - 1);
            int status = 0;
            pull(repo, "manifests", name, &status);
            if (status != 200) out.add(repo + " tag " + name + " names no manifest: " + std::to_string(status));
            at = end + 1 < body.size() && body[end + 1] == ',' ? end + 2 : body.size();
        }
    }

    // After a collection without grace: no upload file, no hidden (temporary or parked) file,
    // every blob file linked by some repository and every link named by a stored image.
    void check_reclaimed(const std::vector<crashtest::client_log> &logs, findings &out) const {
        const fs::path root = server_.storage_root();
        for (const auto &e : fs::recursive_directory_iterator(root)) {
            const std::string name = e.path().filename().string();
            const bool parked = name.size() > 3 && name.substr(name.size() - 3) == ".gc";
            if (e.is_regular_file() && (name[0] == '.' || parked))
                out.add("leftover " + fs::relative(e.path(), root).string());
        }
        for (const auto &e : fs::directory_iterator(root / "uploads"))
            out.add("leftover upload " + e.path().filename().string());

        std::set<std::string> linked_anywhere;
        for (const crashtest::client_log &log : logs) {
            const fs::path repo = root / "repositories" / log.repo;
            std::set<std::string> named;
            for (const auto &e : fs::directory_iterator(repo / "_manifests")) {
                const std::string hex = e.path().filename().string();
                if (!e.is_regular_file() || hex.size() != 64) continue;
                const auto img = log.images.find("sha256:" + hex);
                if (img == log.images.end()) {
                    out.add(log.repo + " holds a manifest no client put: " + hex);
                    continue;
                }
                named.insert(img->second.blobs.begin(), img->second.blobs.end());
            }
            const fs::path layers = repo / "_layers" / "sha256";
            if (!fs::exists(layers)) continue;
            for (const auto &e : fs::directory_iterator(layers)) {
                const std::string digest = "sha256:" + e.path().filename().string();
                if (!fs::exists(e.path() / "link")) {
                    out.add(log.repo + " empty link directory " + digest);
                    continue;
                }
                linked_anywhere.insert(digest);
                if (!named.count(digest)) out.add(log.repo + " link no image names: " + digest);
            }
        }
        for (const auto &e : fs::recursive_directory_iterator(root / "blobs"))
            if (e.is_regular_file() && !linked_anywhere.count("sha256:" + e.path().filename().string()))
                out.add("blob no repository links: " + e.path().filename().string());
    }
};

std::string summary(const crashtest::client_log &log) {
    char line[256];
    auto pair = [](const crashtest::counts &c) { return std::to_string(c.acked) + "/" + std::to_string(c.acked + c.failed); };
    std::snprintf(line, sizeof line, "%s: blob pushes %s, manifest puts %s, deletes %s manifest %s tag %s blob",
                  log.repo.c_str(), pair(log.blob_pushes).c_str(), pair(log.manifest_puts).c_str(),
                  pair(log.manifest_deletes).c_str(), pair(log.tag_deletes).c_str(),
                  pair(log.blob_deletes).c_str());
    return line;
}

TEST_F(CrashTest, KilledEndpointsLeaveNothingCorruptAndNothingLost) {
    const pid_t server = server_pid();
    ASSERT_GT(server, 0) << "no lighttpd child of this process";

    // Base layers every client pushes, so clients share blob files across repositories.
    std::vector<std::string> bases;
    for (int i = 0; i < 3; ++i) bases.push_back(crashtest::layer_bytes("base", i, 48 * 1024 + i));

    const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("seed %u\n", seed);
    std::vector<crashtest::client_log> logs(kClients);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        logs[c].repo = "crash/c" + std::to_string(c);
        threads.emplace_back([&, c] { crashtest::client(port(), logs[c], seed + c, bases).run(stop); });
    }
    std::atomic<bool> killer_stop{false};
    std::atomic<bool> killer_done{false};
    int kills = 0;
    std::thread killer([&] {
        kills = crashtest::kill_endpoints(server, killer_stop, kKillLimit, seed);
        killer_done = true;
    });
    std::atomic<bool> collector_stop{false};
    int collections = 0;
    int collector_kills = 0;
    std::thread collector([&] {
        collections = crashtest::run_collections(server_.storage_root().string(), collector_stop,
                                                 seed, &collector_kills);
    });
    const auto deadline = std::chrono::steady_clock::now() + kRunFor;
    // The killer ends at its limit; the clients run on until the deadline at most.
    while (std::chrono::steady_clock::now() < deadline && !killer_done)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    killer_stop = true;
    killer.join();
    stop = true;
    for (std::thread &t : threads) t.join();
    collector_stop = true;
    collector.join();
    wait_for_quiet(server);
    std::printf("collections: %d, %d of them killed\n", collections, collector_kills);
    EXPECT_GT(collections, 2);

    int acked_manifests = 0;
    for (const auto &log : logs) {
        std::printf("%s\n", summary(log).c_str());
        acked_manifests += log.manifest_puts.acked;
    }
    std::printf("kills: %d in %.1f s\n", kills,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - deadline + kRunFor).count());
    EXPECT_GE(kills, 50) << "too few kills to mean anything";
    EXPECT_GT(acked_manifests, 0);

    ASSERT_EQ(reg_storage_init(server_.storage_root().c_str()), 0) << reg_storage_last_error();
    // Blobs no stored manifest names may have gone with the collections once seconds old:
    // they are not asked for. A blob that a collection killed between its park and its last
    // look left parked is put back by the first request that finds its link.
    findings found;
    verify(found);
    std::vector<std::thread> checkers;
    for (const auto &log : logs)
        checkers.emplace_back([&] {
            check_acknowledged(log, true, found);
            check_tags_resolve(log.repo, found);
        });
    for (std::thread &t : checkers) t.join();
    EXPECT_EQ(found.count(), 0u) << "after the kills\n" << found.text();

    reg_gc_options opts{};
    opts.grace_blobs = 0;
    opts.grace_uploads = 0;
    reg_gc_result res{};
    ASSERT_EQ(reg_gc_run(&opts, &res), 0) << reg_storage_last_error();
    std::printf("collected: %lld blobs, %lld links, %lld uploads, %lld failures\n",
                static_cast<long long>(res.blobs), static_cast<long long>(res.links),
                static_cast<long long>(res.uploads), static_cast<long long>(res.failures));
    EXPECT_EQ(res.failures, 0);
    findings left;
    check_reclaimed(logs, left);
    EXPECT_EQ(left.count(), 0u) << "after the collection\n" << left.text();
    findings lost;
    verify(lost);
    direct_ = true;
    for (const auto &log : logs) {
        check_acknowledged(log, true, lost);
        check_tags_resolve(log.repo, lost);
    }
    EXPECT_EQ(lost.count(), 0u) << "after the collection\n" << lost.text();
}

}  // namespace
