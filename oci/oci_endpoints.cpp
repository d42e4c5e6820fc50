// The endpoint tables: for each endpoint program, the marker its paths split at and per method
// the access it needs and the largest body it takes. The programs serve from them and the
// authorizer decides from them, so the two can never disagree on a route.
#include "oci/oci_common.h"

#include <cstring>
#include <iterator>

namespace {

constexpr oci_method_rule read_rule(const char *method) { return {method, OCI_ACCESS_READ, 0, nullptr}; }
constexpr oci_method_rule write_rule(const char *method) { return {method, OCI_ACCESS_WRITE, 0, nullptr}; }
constexpr oci_method_rule delete_rule(const char *method) { return {method, OCI_ACCESS_DELETE, 0, nullptr}; }

// Row order is the order of the Allow header a refused method gets.
constexpr oci_method_rule ping_rules[] = {read_rule("GET"), read_rule("OPTIONS")};
constexpr oci_method_rule blob_rules[] = {read_rule("GET"), delete_rule("DELETE")};
constexpr oci_method_rule upload_rules[] = {write_rule("POST"), write_rule("PATCH"), write_rule("PUT"),
                                            read_rule("GET"), write_rule("DELETE")};
constexpr oci_method_rule manifest_rules[] = {
    read_rule("GET"),
    {"PUT", OCI_ACCESS_WRITE, REG_MANIFEST_MAX, "manifests are limited to 4 MiB"},
    delete_rule("DELETE"),
};
constexpr oci_method_rule listing_rules[] = {read_rule("GET")};

template <std::size_t N>
constexpr oci_endpoint endpoint(const char *program, const char *marker,
                                const oci_method_rule (&rules)[N]) {
    return {program, marker, rules, N, nullptr};
}

constexpr oci_endpoint endpoints[] = {
    {"v2_ping", nullptr, ping_rules, std::size(ping_rules), "Method not allowed for /v2/"},
    endpoint("v2_blobs", "/blobs/", blob_rules),
    endpoint("v2_uploads", "/blobs/uploads/", upload_rules),
    endpoint("v2_manifests", "/manifests/", manifest_rules),
    endpoint("v2_tags", "/tags/list", listing_rules),
    endpoint("v2_catalog", nullptr, listing_rules),
    endpoint("v2_referrers", "/referrers/", listing_rules),
    endpoint("registry_stats", nullptr, listing_rules),
};

bool same(const char *a, const char *b) { return a && b && std::strcmp(a, b) == 0; }

}  // namespace

extern "C" {

const oci_endpoint *oci_endpoint_find(const char *program) {
    for (const oci_endpoint &e : endpoints)
        if (same(e.program, program)) return &e;
    return nullptr;
}

const oci_method_rule *oci_endpoint_rule(const oci_endpoint *endpoint, const char *method) {
    if (!endpoint || !method) return nullptr;
    for (int pass = 0; pass < 2; ++pass) {
        // A HEAD without a rule of its own is served as GET, without the body.
        const char *wanted = pass == 0 ? method : "GET";
        if (pass == 1 && !same(method, "HEAD")) break;
        for (std::size_t i = 0; i < endpoint->rule_count; ++i)
            if (same(endpoint->rules[i].method, wanted)) return &endpoint->rules[i];
    }
    return nullptr;
}

}  // extern "C"
