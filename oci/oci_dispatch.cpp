// The endpoint dispatcher: reads one request from the CGI environment into the caller's record,
// answers what every endpoint answers alike (bad names, unknown paths and methods, writes and
// deletes switched off, refused access, a storage that will not open, a body over the route's
// limit) and hands the rest to the one matching route. Every switch is read anew for each
// request. The authorizer (oci_authorize.cpp) runs the same checks on the request's head.
#include "oci/oci_common.h"

#include <cstring>

#include "cgi/bv_cgi.h"
#include "oci/oci_internal.h"

namespace {

// Room for the Allow header: every distinct method of a table, ", " between them.
constexpr std::size_t allow_cap = 256;

bool same(const char *a, const char *b) { return a && b && std::strcmp(a, b) == 0; }

// The two kinds of table the checks read: a program's own routes (a row without a handler
// counts as absent, and none limits its body) and the shared endpoint tables.
bool served(const oci_route &route) { return route.handler != nullptr; }
bool served(const oci_method_rule &) { return true; }
int64_t body_limit(const oci_route &) { return 0; }
int64_t body_limit(const oci_method_rule &rule) { return rule.body_limit; }
const char *too_large(const oci_route &) { return nullptr; }
const char *too_large(const oci_method_rule &rule) { return rule.too_large; }

template <typename Row>
const Row *find_route(const Row *routes, std::size_t count, const char *method) {
    for (std::size_t i = 0; i < count; ++i)
        if (same(routes[i].method, method)) return &routes[i];
    return nullptr;
}

void allow_add(char (&allow)[allow_cap], const char *method) {
    const std::size_t have = std::strlen(allow);
    const std::size_t need = (have ? 2 : 0) + std::strlen(method);
    if (have + need >= allow_cap) return;
    if (have) std::memcpy(allow + have, ", ", 2);
    std::memcpy(allow + have + (have ? 2 : 0), method, std::strlen(method) + 1);
}

// The table's methods in table order, each once, HEAD after GET when GET serves it too.
template <typename Row>
void build_allow(char (&allow)[allow_cap], const Row *routes, std::size_t count) {
    allow[0] = '\0';
    for (std::size_t i = 0; i < count; ++i) {
        const char *m = routes[i].method;
        if (!m || !*m || find_route(routes, i, m)) continue;
        if (same(m, "HEAD") && find_route(routes, i, "GET")) continue;  // already listed
        allow_add(allow, m);
        if (same(m, "GET")) allow_add(allow, "HEAD");
    }
}

constexpr const char read_only_message[] = "the registry is read-only";
constexpr const char no_delete_message[] = "deletes are disabled on this registry";
constexpr const char no_tree_message[] =
    "the storage tree is missing at the configured root; create it with registry-init";

bool read_only_by_env() {
    const char *flag = cgi_env("REGISTRY_READ_ONLY", "");
    return *flag && std::strcmp(flag, "0") != 0;
}

// REGISTRY_DELETE_ENABLED decides when set: "0" disables deletes, anything else enables them
// whatever the storage says. Unset or empty, the storage's setting holds (-1 here).
int deletes_by_env() {
    const char *flag = cgi_env("REGISTRY_DELETE_ENABLED", "");
    if (!*flag) return -1;
    return std::strcmp(flag, "0") != 0 ? 1 : 0;
}

template <typename Row>
int refuse_method(const oci_request *request, const Row *routes, std::size_t count) {
    char allow[allow_cap];
    build_allow(allow, routes, count);
    const oci_header header = {"Allow", allow};
    return oci_reply_error_headers(request, 405, "UNSUPPORTED",
                                   "The method is not allowed for this resource", &header, 1) == 0
               ? 0
               : -1;
}

int answered(int rc) { return rc == 0 ? 0 : -1; }

// The checks every endpoint answers alike, in order, over a table of either kind; `announced`
// is the body length the request announces (-1: none). Returns the row the request goes on to,
// or null after answering the refusal (*rc: 0, or -1 when the answer could not be written).
template <typename Row>
const Row *check_request(oci_request *request, const Row *routes, std::size_t route_count,
                         const char *marker, int64_t announced, int *rc) {
    *rc = -1;
    if (marker) {
        using oci_internal::split_result;
        switch (oci_internal::split_repo_path(request->path, marker, request->repo,
                                              sizeof request->repo, request->rest,
                                              sizeof request->rest)) {
            case split_result::ok: break;
            case split_result::name_too_long:
            case split_result::name_invalid:
                request->repo[0] = '\0';
                *rc = answered(oci_reply_error(request, 400, "NAME_INVALID",
                                               "invalid repository name"));
                return nullptr;
            case split_result::no_name:
            case split_result::rest_too_long:
                request->repo[0] = '\0';
                request->rest[0] = '\0';
                *rc = answered(oci_reply_error(request, 404, "NAME_UNKNOWN",
                                               "no such repository resource"));
                return nullptr;
        }
    }

    const Row *route = routes ? find_route(routes, route_count, request->method) : nullptr;
    if (!route && request->is_head && routes) route = find_route(routes, route_count, "GET");
    if (!route || !served(*route)) {
        *rc = refuse_method(request, routes, routes ? route_count : 0);
        return nullptr;
    }

    // The switches the environment sets need no storage, so they answer first; the storage's
    // own ones are known only once it is open.
    const bool writes = route->access != OCI_ACCESS_READ;
    const bool deletes = route->access == OCI_ACCESS_DELETE;
    const int deletes_env = deletes_by_env();
    if (writes && read_only_by_env()) {
        *rc = answered(oci_reply_error(request, 405, "UNSUPPORTED", read_only_message));
        return nullptr;
    }
    if (deletes && deletes_env == 0) {
        *rc = answered(oci_reply_error(request, 405, "UNSUPPORTED", no_delete_message));
        return nullptr;
    }

    char why[256];
    switch (oci_access_check(request, route->access, why, sizeof why)) {
        case 1: break;
        case 0: *rc = answered(oci_reply_error(request, 403, "DENIED", why)); return nullptr;
        default: *rc = answered(oci_reply_error(request, 500, "UNKNOWN", why)); return nullptr;
    }

    // The engine's message may be about the root it was given; the client learns only that
    // the storage is not there. A root without its tree (a volume not mounted, a tree removed)
    // is a passing state for the client: 503, to come back once an operator has seen to it.
    if (oci_init_storage() != 0) {
        if (reg_storage_last_error_kind() != REG_ERR_NO_TREE) {
            *rc = answered(oci_reply_error(request, 500, "UNKNOWN", "storage is not available"));
            return nullptr;
        }
        // The reply functions add Retry-After to every 503.
        *rc = answered(oci_reply_error(request, 503, "UNKNOWN", no_tree_message));
        return nullptr;
    }

    if (writes) {
        reg_storage_settings settings;
        reg_storage_get_settings(&settings);
        const char *refused = nullptr;
        if (settings.read_only) refused = read_only_message;
        else if (deletes && deletes_env < 0 && !settings.deletes_enabled) refused = no_delete_message;
        if (refused) {
            *rc = answered(oci_reply_error(request, 405, "UNSUPPORTED", refused));
            return nullptr;
        }
    }

    // Last, so that a body too large meets the same answers first as any other.
    if (const int64_t limit = body_limit(*route); limit > 0 && announced > limit) {
        *rc = answered(oci_reply_error(request, 413, "SIZE_INVALID", too_large(*route)));
        return nullptr;
    }
    return route;
}

const oci_method_handler *find_handler(const oci_method_handler *handlers, std::size_t count,
                                       const char *method) {
    for (std::size_t i = 0; handlers && i < count; ++i)
        if (same(handlers[i].method, method) && handlers[i].handler) return &handlers[i];
    return nullptr;
}

}  // namespace

namespace oci_internal {

void read_request(oci_request *request) {
    std::memset(request, 0, sizeof *request);
    request->method = cgi_method();
    request->path = cgi_path_info();
    request->query = cgi_env("QUERY_STRING", "");
    request->user = cgi_env("REMOTE_USER", "");
    // Exactly HEAD: a method that only begins so is another method, which the table refuses.
    request->is_head = std::strcmp(request->method, "HEAD") == 0;
}

const oci_method_rule *check_endpoint_request(oci_request *request, const oci_endpoint &endpoint,
                                              int64_t announced, int *rc) {
    return check_request(request, endpoint.rules, endpoint.rule_count, endpoint.marker, announced,
                         rc);
}

}  // namespace oci_internal

extern "C" {

int oci_dispatch(oci_request *request, const oci_route *routes, size_t route_count,
                 const char *marker) {
    if (!request) return -1;
    oci_internal::begin_request();
    oci_internal::read_request(request);
    int rc = -1;
    const oci_route *route = check_request(request, routes, route_count, marker, -1, &rc);
    return route ? route->handler(request) : rc;
}

int oci_dispatch_endpoint(oci_request *request, const char *program,
                          const oci_method_handler *handlers, size_t count) {
    if (!request) return -1;
    oci_internal::begin_request();
    oci_internal::read_request(request);
    const oci_endpoint *endpoint = oci_endpoint_find(program);
    if (!endpoint)
        return answered(oci_reply_error(request, 500, "UNKNOWN", "no table for this endpoint"));
    int rc = -1;
    const oci_method_rule *rule =
        oci_internal::check_endpoint_request(request, *endpoint, oci_content_length(), &rc);
    if (!rule) return rc;
    const oci_method_handler *handler = find_handler(handlers, count, rule->method);
    if (!handler)
        return answered(oci_reply_error(request, 500, "UNKNOWN", "no handler for this method"));
    return handler->handler(request);
}

int oci_serve(const oci_route *routes, size_t route_count, const char *marker) {
    struct table {
        const oci_route *routes;
        size_t count;
        const char *marker;
    } endpoint = {routes, route_count, marker};
    return cgi_serve(
        [](void *context) {
            const table *t = static_cast<const table *>(context);
            oci_request request;
            return oci_dispatch(&request, t->routes, t->count, t->marker) == 0 ? 0 : 1;
        },
        &endpoint);
}

int oci_serve_endpoint(const char *program, const oci_method_handler *handlers, size_t count) {
    struct served_endpoint {
        const char *program;
        const oci_method_handler *handlers;
        size_t count;
    } endpoint = {program, handlers, count};
    return cgi_serve(
        [](void *context) {
            const served_endpoint *e = static_cast<const served_endpoint *>(context);
            oci_request request;
            return oci_dispatch_endpoint(&request, e->program, e->handlers, e->count) == 0 ? 0 : 1;
        },
        &endpoint);
}

}  // extern "C"
