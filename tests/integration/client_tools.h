// Registry clients (curl, skopeo, podman) run as child processes by the integration suites,
// with their standard error folded into the captured output, and curl's answers parsed.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace clienttools {

namespace fs = std::filesystem;

// Full path of a program found on PATH, "" when there is none.
inline std::string find_tool(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// Runs `args` (args[0] looked up on PATH by the shell) with standard error joined to the
// captured output, so a failing client explains itself in the test's message.
inline bvtest::ProcessResult run_tool(const std::vector<std::string> &args,
                                      const std::vector<bvtest::EnvChange> &env = {}) {
    std::vector<std::string> sh = {"-c", "exec \"$@\" 2>&1", "sh"};
    sh.insert(sh.end(), args.begin(), args.end());
    return bvtest::run_program("/bin/sh", sh, env);
}

inline std::string joined(const std::vector<std::string> &args) {
    std::string out;
    for (const auto &a : args) out += (out.empty() ? "" : " ") + a;
    return out;
}

// One answer as curl -i prints it; interim 1xx heads are skipped.
struct CurlAnswer {
    int exit_code = -1;
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string head;
    std::string body;
    std::string header(const std::string &name) const {
        auto it = headers.find(regtest::lower(name));
        return it == headers.end() ? std::string() : it->second;
    }
    bool has(const std::string &name) const { return headers.count(regtest::lower(name)) != 0; }
};

inline CurlAnswer parse_curl(const bvtest::ProcessResult &r) {
    CurlAnswer a;
    a.exit_code = r.exit_code;
    std::string rest = r.out;
    for (;;) {
        const size_t split = rest.find("\r\n\r\n");
        if (split == std::string::npos || rest.rfind("HTTP/", 0) != 0) return a;
        a.head = rest.substr(0, split + 2);
        a.status = std::atoi(a.head.c_str() + a.head.find(' ') + 1);
        rest = rest.substr(split + 4);
        if (a.status >= 200) break;
    }
    a.body = rest;
    for (size_t at = a.head.find("\r\n"); at != std::string::npos && at + 2 < a.head.size();) {
        const size_t eol = a.head.find("\r\n", at + 2);
        const std::string line = a.head.substr(at + 2, eol - at - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            a.headers[regtest::lower(line.substr(0, colon))] = line.substr(v);
        }
        at = eol;
    }
    return a;
}

// curl -i against the server with the extra arguments; the URL is the last argument.
inline CurlAnswer curl(int port, const std::string &path, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"/usr/bin/curl", "-s", "-S", "-i", "--max-time", "120", "-H", "Expect:"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    return parse_curl(bvtest::run_program(args[0], std::vector<std::string>(args.begin() + 1, args.end())));
}

// skopeo with its own files under a scratch folder: a policy that accepts anything (plain http
// on loopback needs no trust decisions), an empty registries.conf and a temporary folder. The
// last command line is kept for failure messages.
class SkopeoRunner {
public:
    void prepare(const fs::path &scratch) {
        policy_ = (scratch / "policy.json").string();
        bvtest::write_all(policy_, "{\"default\":[{\"type\":\"insecureAcceptAnything\"}]}");
        registries_ = (scratch / "registries.conf").string();
        bvtest::write_all(registries_, "");
        tmp_ = (scratch / "tmp").string();
        fs::create_directories(tmp_);
    }
    bvtest::ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"skopeo", "--policy", policy_, "--tmpdir", tmp_});
        last_ = joined(args);
        return run_tool(args, {{"CONTAINERS_REGISTRIES_CONF", registries_}});
    }
    // Pulled-back layers stay as the registry serves them.
    bvtest::ProcessResult copy(const std::string &from, const std::string &to,
                               std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"copy", "--src-tls-verify=false", "--dest-tls-verify=false",
                                         "--dest-oci-accept-uncompressed-layers"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(from);
        args.push_back(to);
        return run(std::move(args));
    }
    const std::string &last() const { return last_; }

private:
    std::string policy_, registries_, tmp_, last_;
};

// Every blob of `image` is in the OCI layout at `layout_dir`, byte for byte.
inline void expect_blobs(const fs::path &layout_dir, const ocilayout::Image &image) {
    std::vector<std::string> blobs = {image.manifest, image.config};
    blobs.insert(blobs.end(), image.layers.begin(), image.layers.end());
    for (const auto &b : blobs) {
        const fs::path file = layout_dir / "blobs" / "sha256" / bvtest::sha256_hex(b);
        ASSERT_TRUE(fs::exists(file)) << file;
        EXPECT_TRUE(bvtest::read_all(file) == b) << file << " differs from what was pushed";
    }
}

}  // namespace clienttools
