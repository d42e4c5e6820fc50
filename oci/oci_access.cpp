// Access control: who may read, push to and delete from which repositories, decided per
// request from the access file REGISTRY_ACCESS_FILE names (no file: everyone may do
// everything). The file is read afresh for every decision; nothing is kept between requests.
#include "oci/oci_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/bv_cgi.h"
#include "oci/oci_access_rules.h"

namespace oci_access_rules {
namespace {

constexpr std::string_view blanks = " \t\r\v\f";

std::string_view trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// What one request may do, gathered from the lines that apply to it.
struct grants {
    std::vector<std::string_view> read;
    std::vector<std::string_view> write;
};

bool covered(const std::vector<std::string_view> &prefixes, std::string_view repo) {
    for (std::string_view p : prefixes)
        if (prefix_covers(p, repo)) return true;
    return false;
}

// A comma list of prefixes: each "*" or a repository name; empty items are mistakes.
bool parse_list(std::string_view list, std::vector<std::string_view> *out, std::string *why) {
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        if (item.empty()) {
            *why = "empty repository prefix";
            return false;
        }
        if (item != "*") {
            const std::string name(item);
            if (!oci_valid_repo_name(name.c_str())) {
                *why = "a prefix is neither * nor a repository name";
                return false;
            }
        }
        if (out) out->push_back(item);
        if (comma == std::string_view::npos) return true;
        list.remove_prefix(comma + 1);
    }
}

// One line without its comment: "user: read=a,b write=c". `applies` says whether the line's
// rights go into `g`; the line is checked either way.
bool parse_line(std::string_view line, std::string_view user, grants *g, std::string *why) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        *why = "no ':' after the user name";
        return false;
    }
    const std::string_view name = trim(line.substr(0, colon));
    if (name.empty() || name.find_first_of(blanks) != std::string_view::npos) {
        *why = "the user name is empty or holds blanks";
        return false;
    }
    const bool applies = name == "*" || (!user.empty() && name == user);
    std::string_view rest = line.substr(colon + 1);
    for (;;) {
        const std::size_t start = rest.find_first_not_of(blanks);
        if (start == std::string_view::npos) return true;
        rest.remove_prefix(start);
        const std::size_t end = rest.find_first_of(blanks);
        const std::string_view token = rest.substr(0, end);
        rest.remove_prefix(token.size());
        const std::size_t eq = token.find('=');
        const std::string_view key = token.substr(0, eq);
        std::vector<std::string_view> *into = nullptr;
        if (key == "read") into = &g->read;
        else if (key == "write") into = &g->write;
        if (!into || eq == std::string_view::npos) {
            *why = "expected read=PREFIXES or write=PREFIXES";
            return false;
        }
        if (!parse_list(token.substr(eq + 1), applies ? into : nullptr, why)) return false;
    }
}

}  // namespace

bool prefix_covers(std::string_view prefix, std::string_view repo) {
    if (prefix == "*") return true;
    if (prefix.empty() || repo.size() < prefix.size() || repo.compare(0, prefix.size(), prefix) != 0)
        return false;
    return repo.size() == prefix.size() || repo[prefix.size()] == '/';
}

decision decide(std::string_view text, std::string_view user, std::string_view repo,
                oci_access access) {
    decision d;
    if (text.find('\0') != std::string_view::npos) {
        d.outcome = verdict::unusable;
        d.why = "the access file holds a NUL byte";
        return d;
    }
    grants g;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        std::string why;
        if (!parse_line(line, user, &g, &why)) {
            d.outcome = verdict::unusable;
            d.why = "the access file is malformed (line " + std::to_string(number) + ": " + why + ")";
            return d;
        }
    }
    // Whoever may push to a repository may also read it: a push asks what is there first.
    const bool ok = access == OCI_ACCESS_READ ? covered(g.read, repo) || covered(g.write, repo)
                                              : covered(g.write, repo);
    d.outcome = ok ? verdict::permit : verdict::deny;
    if (!ok) {
        const char *what = access == OCI_ACCESS_READ ? "read" : access == OCI_ACCESS_WRITE ? "push to" : "delete from";
        d.why = std::string(user.empty() ? "anonymous requests" : "this user") + " may not " + what +
                (repo.empty() ? " every repository" : " this repository");
    }
    return d;
}

}  // namespace oci_access_rules

namespace {

void put_why(char *why, std::size_t cap, const std::string &text) {
    if (why && cap) bv_strlcpy(why, text.c_str(), cap);
}

// The whole file, or false when it cannot be read whole or is longer than the rules may be.
bool read_rules(const char *path, std::string *text) {
    std::FILE *f = std::fopen(path, "rb");
    if (!f) return false;
    char buf[16384];
    std::size_t n;
    bool ok = true;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text->append(buf, n);
        if (text->size() > oci_access_rules::max_file_bytes) {
            ok = false;
            break;
        }
    }
    if (std::ferror(f)) ok = false;
    std::fclose(f);
    return ok;
}

}  // namespace

extern "C" {

int oci_access_check(const oci_request *request, oci_access access, char *why, size_t why_cap) {
    put_why(why, why_cap, "");
    if (!request) {
        put_why(why, why_cap, "no request");
        return 0;
    }
    const char *path = cgi_env("REGISTRY_ACCESS_FILE", "");
    if (!*path) return 1;
    std::string text;
    if (!read_rules(path, &text)) {
        // The operator finds the cause in the server's log; the client learns only that the
        // rules are unusable, not where they live.
        std::fprintf(stderr, "registry: cannot read the access file %s (or it exceeds 1 MiB)\n", path);
        put_why(why, why_cap, "the access file cannot be read");
        return -1;
    }
    const auto d = oci_access_rules::decide(text, request->user ? request->user : "", request->repo, access);
    put_why(why, why_cap, d.why);
    switch (d.outcome) {
        case oci_access_rules::verdict::permit: return 1;
        case oci_access_rules::verdict::deny: return 0;
        case oci_access_rules::verdict::unusable:
            std::fprintf(stderr, "registry: %s: %s\n", path, d.why.c_str());
            return -1;
    }
    return -1;
}

int oci_access_permits(const oci_request *request, oci_access access) {
    return oci_access_check(request, access, nullptr, 0) == 1 ? 1 : 0;
}

}  // extern "C"
