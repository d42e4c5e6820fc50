// The clients and the killer of the crash suite: threads that push blobs (whole and in chunks),
// put and delete manifests and tags and delete blob links through lighttpd, keeping a record of
// what the server acknowledged; and a thread that SIGKILLs the endpoint programs lighttpd runs.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/registry_server.h"
#include "tests/support/sha256_hex.h"

namespace crashtest {

inline const char kManifestType[] = "application/vnd.oci.image.manifest.v1+json";
inline const char kConfigType[] = "application/vnd.oci.image.config.v1+json";
inline const char kLayerType[] = "application/vnd.oci.image.layer.v1.tar";

inline std::string digest_of(const std::string &data) {
    return "sha256:" + bvtest::sha256_hex(data.data(), data.size());
}

// What a client can say of an item from the answers it got: a 2xx answer settles it, any
// other answer (a killed program) leaves it either way.
enum class known { absent, present, unknown };

struct image {
    std::string body;
    std::vector<std::string> blobs;  // config, then layers
    std::vector<std::string> own;    // the blobs no other image of the repository names
    known state = known::unknown;
};

struct tag_state {
    known state = known::unknown;
    std::string digest;  // the manifest it names when present
};

struct counts {
    int acked = 0, failed = 0;
};

// One client's repository and everything it sent there.
struct client_log {
    std::string repo;
    std::map<std::string, std::string> blob_bytes;  // every blob ever pushed, by digest
    std::map<std::string, known> blobs;             // the repository's links
    std::map<std::string, image> images;            // every manifest ever put, by digest
    std::map<std::string, tag_state> tags;
    counts blob_pushes, manifest_puts, manifest_deletes, tag_deletes, blob_deletes;
};

// The bytes of layer `n` of a client, of a size drawn by `rng`.
inline std::string layer_bytes(const std::string &who, int n, size_t size) {
    std::string s = "layer " + who + " " + std::to_string(n) + "\n";
    s.reserve(size);
    uint32_t x = static_cast<uint32_t>(n) * 2654435761u + static_cast<uint32_t>(who.size());
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        s.push_back(static_cast<char>(x >> 24));
    }
    return s;
}

inline std::string descriptor(const char *type, const std::string &digest, size_t size) {
    return std::string("{\"mediaType\":\"") + type + "\",\"digest\":\"" + digest +
           "\",\"size\":" + std::to_string(size) + "}";
}

class client {
public:
    client(int port, client_log &log, unsigned seed, const std::vector<std::string> &bases)
        : port_(port), log_(log), rng_(seed), bases_(bases) {}

    // Runs rounds until `stop` is set: each round pushes an image, now and then deletes an
    // older one with its own blobs, or a tag.
    void run(const std::atomic<bool> &stop) {
        for (int round = 0; !stop.load(); ++round) {
            push_image(round);
            if (round % 3 == 2) delete_old_image();
            if (round % 5 == 4) delete_some_tag();
        }
    }

private:
    bool ok(const regtest::HttpResponse &r, counts &c) {
        const bool good = r.status >= 200 && r.status < 300;
        ++(good ? c.acked : c.failed);
        return good;
    }

    // Whole in one POST, or POST, a PATCH with Content-Range, a chunked PATCH and the closing
    // PUT with the last piece.
    void push_blob(const std::string &data) {
        const std::string digest = digest_of(data);
        log_.blob_bytes[digest] = data;
        const std::string base = "/v2/" + log_.repo + "/blobs/uploads/";
        bool good = false;
        if (rng_() % 2 == 0) {
            good = ok(regtest::http(port_, "POST", base + "?digest=" + digest, {}, data),
                      log_.blob_pushes);
        } else {
            const regtest::HttpResponse started = regtest::http(port_, "POST", base);
            std::string location = started.header("Location");
            good = started.status == 202 && !location.empty();
            const size_t a = data.size() / 3, b = 2 * data.size() / 3;
            if (good) {
                regtest::HttpResponse r = regtest::http(
                    port_, "PATCH", location,
                    {{"Content-Range", "0-" + std::to_string(a - 1)},
                     {"Content-Type", "application/octet-stream"}},
                    data.substr(0, a));
                good = r.status == 202;
            }
            if (good) {
                regtest::HttpRequest req;
                req.method = "PATCH";
                req.path = location;
                req.body = data.substr(a, b - a);
                req.chunked = true;
                req.chunk_size = 4096;
                good = regtest::http(port_, req).status == 202;
            }
            if (good) {
                const char *sep = location.find('?') == std::string::npos ? "?" : "&";
                good = regtest::http(port_, "PUT", location + sep + "digest=" + digest, {},
                                     data.substr(b))
                           .status == 201;
            }
            ++(good ? log_.blob_pushes.acked : log_.blob_pushes.failed);
        }
        known &state = log_.blobs[digest];
        // A failed push of a blob the repository already links must leave the link alone.
        if (good) state = known::present;
        else if (state != known::present) state = known::unknown;
    }

    void push_image(int round) {
        const std::string who = log_.repo + "/" + std::to_string(round);
        const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\",\"id\":\"" + who + "\"}";
        const std::string layer = layer_bytes(who, round, 1024 + rng_() % (192 * 1024));
        const std::string &shared = bases_[rng_() % bases_.size()];
        for (const std::string *blob : {&config, &layer, &shared}) push_blob(*blob);
        for (const std::string *blob : {&config, &layer, &shared})
            if (log_.blobs[digest_of(*blob)] != known::present) return;  // a client would retry

        image img;
        img.blobs = {digest_of(config), digest_of(layer), digest_of(shared)};
        img.own = {digest_of(config), digest_of(layer)};
        img.body = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kManifestType +
                   "\",\"config\":" + descriptor(kConfigType, img.blobs[0], config.size()) +
                   ",\"layers\":[" + descriptor(kLayerType, img.blobs[1], layer.size()) + "," +
                   descriptor(kLayerType, img.blobs[2], shared.size()) + "]}";
        const std::string digest = digest_of(img.body);
        auto &stored = log_.images[digest] = img;

        // Mostly by a fresh tag, sometimes by digest alone; now and then "latest" moves too.
        const bool by_tag = rng_() % 4 != 0;
        const std::string ref = by_tag ? "t" + std::to_string(round) : digest;
        const bool good = put_manifest(ref, stored.body);
        stored.state = good ? known::present : known::unknown;
        if (by_tag) log_.tags[ref] = good ? tag_state{known::present, digest} : tag_state{};
        if (good && rng_() % 3 == 0)
            log_.tags["latest"] = put_manifest("latest", stored.body)
                                      ? tag_state{known::present, digest}
                                      : tag_state{};
    }

    bool put_manifest(const std::string &ref, const std::string &body) {
        return ok(regtest::http(port_, "PUT", "/v2/" + log_.repo + "/manifests/" + ref,
                                {{"Content-Type", kManifestType}}, body),
                  log_.manifest_puts);
    }

    // An image the client knows to be stored goes by digest, with every tag naming it; once
    // that is acknowledged the blobs only it named are unlinked.
    void delete_old_image() {
        std::vector<std::string> candidates;
        for (const auto &[digest, img] : log_.images)
            if (img.state == known::present) candidates.push_back(digest);
        if (candidates.size() < 2) return;
        const std::string digest = candidates[rng_() % (candidates.size() - 1)];
        image &img = log_.images[digest];
        const bool good = ok(regtest::http(port_, "DELETE",
                                           "/v2/" + log_.repo + "/manifests/" + digest),
                             log_.manifest_deletes);
        img.state = good ? known::absent : known::unknown;
        for (auto &[name, tag] : log_.tags)
            if (tag.state == known::present && tag.digest == digest)
                tag = good ? tag_state{known::absent, ""} : tag_state{};
        if (!good) return;
        for (const std::string &blob : img.own) {
            const bool gone = ok(regtest::http(port_, "DELETE",
                                               "/v2/" + log_.repo + "/blobs/" + blob),
                                 log_.blob_deletes);
            log_.blobs[blob] = gone ? known::absent : known::unknown;
        }
    }

    void delete_some_tag() {
        std::vector<std::string> names;
        for (const auto &[name, tag] : log_.tags)
            if (tag.state == known::present && name != "latest") names.push_back(name);
        if (names.empty()) return;
        const std::string name = names[rng_() % names.size()];
        const bool good = ok(regtest::http(port_, "DELETE",
                                           "/v2/" + log_.repo + "/manifests/" + name),
                             log_.tag_deletes);
        log_.tags[name] = good ? tag_state{known::absent, ""} : tag_state{};
    }

    int port_;
    client_log &log_;
    std::mt19937 rng_;
    const std::vector<std::string> &bases_;
};

// /proc/<pid>/stat: the program name and the parent's id; false when the process is gone.
inline bool proc_stat(pid_t pid, std::string *comm, pid_t *ppid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    *comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    long parent = 0;
    rest >> state >> parent;
    *ppid = static_cast<pid_t>(parent);
    return true;
}

// The processes whose parent is `parent` and whose program name starts with `prefix`.
inline std::vector<pid_t> children_named(pid_t parent, const std::string &prefix) {
    std::vector<pid_t> out;
    DIR *proc = opendir("/proc");
    if (!proc) return out;
    while (dirent *e = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::string comm;
        pid_t ppid = 0;
        if (proc_stat(static_cast<pid_t>(pid), &comm, &ppid) && ppid == parent &&
            comm.compare(0, prefix.size(), prefix) == 0)
            out.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return out;
}

// The processes below `root` (its children and theirs: under FastCGI each program runs under
// deploy/fastcgi-run.sh) whose program name starts with `prefix`, each with its parent.
inline std::vector<std::pair<pid_t, pid_t>> descendants_named(pid_t root, const std::string &prefix) {
    std::multimap<pid_t, std::pair<pid_t, std::string>> by_parent;
    if (DIR *proc = opendir("/proc")) {
        while (dirent *e = readdir(proc)) {
            char *end = nullptr;
            const long pid = std::strtol(e->d_name, &end, 10);
            std::string comm;
            pid_t ppid = 0;
            if (pid > 0 && *end == '\0' && proc_stat(static_cast<pid_t>(pid), &comm, &ppid))
                by_parent.emplace(ppid, std::make_pair(static_cast<pid_t>(pid), comm));
        }
        closedir(proc);
    }
    std::vector<std::pair<pid_t, pid_t>> out;
    std::vector<pid_t> parents{root};
    for (size_t i = 0; i < parents.size() && i < 4096; ++i) {
        const auto [first, last] = by_parent.equal_range(parents[i]);
        for (auto it = first; it != last; ++it) {
            parents.push_back(it->second.first);
            if (it->second.second.compare(0, prefix.size(), prefix) == 0)
                out.emplace_back(it->second.first, parents[i]);
        }
    }
    return out;
}

// SIGKILLs one endpoint program below `server_pid` at a random moment, again and again, until
// `stop` is set or `limit` kills are done. Each target is pinned with a process descriptor
// and checked once more through it, so a recycled process id is never hit.
inline int kill_endpoints(pid_t server_pid, const std::atomic<bool> &stop, int limit,
                          unsigned seed) {
    std::mt19937 rng(seed);
    int kills = 0;
    while (!stop.load() && kills < limit) {
        std::this_thread::sleep_for(std::chrono::microseconds(1500 + rng() % 50000));
        std::vector<std::pair<pid_t, pid_t>> found = descendants_named(server_pid, "v2_");
        // A program's own children carry its name but are not programs: a sanitizer build's
        // leak checker runs in one at exit, and killing it would leave the program waiting
        // for it for ever.
        std::erase_if(found, [&found](const std::pair<pid_t, pid_t> &p) {
            return std::any_of(found.begin(), found.end(), [&p](const auto &q) { return q.first == p.second; });
        });
        if (found.empty()) continue;
        const auto [pid, parent] = found[rng() % found.size()];
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) continue;
        std::string comm;
        pid_t ppid = 0;
        if (rng() % 2) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 8000));
        if (proc_stat(pid, &comm, &ppid) && ppid == parent && comm.compare(0, 3, "v2_") == 0 &&
            syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) == 0)
            ++kills;
        close(fd);
    }
    return kills;
}

// Runs registry-gc over `root` again and again until `stop`, with a grace for blobs of two
// seconds (so aged pushes are kept by references alone), and kills every other run at a random
// moment. Returns the runs; the kills go to *killed.
inline int run_collections(const std::string &root, const std::atomic<bool> &stop, unsigned seed,
                           int *killed) {
    std::mt19937 rng(seed);
    const std::string gc = bvtest::program_path("../tools/registry-gc");
    int runs = 0;
    while (!stop.load()) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 1);
            execl(gc.c_str(), gc.c_str(), "--storage", root.c_str(), "--grace-blobs", "2",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid < 0) break;
        if (rng() % 2) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200000));
            if (kill(pid, SIGKILL) == 0) ++*killed;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ++runs;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 300));
    }
    return runs;
}

}  // namespace crashtest
