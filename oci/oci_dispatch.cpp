// The endpoint dispatcher: reads one request from the CGI environment into the caller's record,
// answers what every endpoint answers alike (bad names, unknown paths and methods, writes and
// deletes switched off, refused access, a storage that will not open) and hands the rest to the
// one matching route. Every switch is read anew for each request.
#include "oci/oci_common.h"

#include <cstring>

#include "cgi/bv_cgi.h"
#include "oci/oci_internal.h"

namespace {

// Room for the Allow header: every distinct method of a table, ", " between them.
constexpr std::size_t allow_cap = 256;

bool same(const char *a, const char *b) { return a && b && std::strcmp(a, b) == 0; }

const oci_route *find_route(const oci_route *routes, std::size_t count, const char *method) {
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
void build_allow(char (&allow)[allow_cap], const oci_route *routes, std::size_t count) {
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

int refuse_method(const oci_request *request, const oci_route *routes, std::size_t count) {
    char allow[allow_cap];
    build_allow(allow, routes, count);
    const oci_header header = {"Allow", allow};
    return oci_reply_error_headers(request, 405, "UNSUPPORTED",
                                   "The method is not allowed for this resource", &header, 1) == 0
               ? 0
               : -1;
}

void read_request(oci_request *request) {
    std::memset(request, 0, sizeof *request);
    request->method = cgi_method();
    request->path = cgi_path_info();
    request->query = cgi_env("QUERY_STRING", "");
    request->user = cgi_env("REMOTE_USER", "");
    // Exactly HEAD: a method that only begins so is another method, which the table refuses.
    request->is_head = std::strcmp(request->method, "HEAD") == 0;
}

int answered(int rc) { return rc == 0 ? 0 : -1; }

}  // namespace

extern "C" {

int oci_dispatch(oci_request *request, const oci_route *routes, size_t route_count,
                 const char *marker) {
    if (!request) return -1;
    oci_internal::begin_request();
    read_request(request);

    if (marker) {
        using oci_internal::split_result;
        switch (oci_internal::split_repo_path(request->path, marker, request->repo,
                                              sizeof request->repo, request->rest,
                                              sizeof request->rest)) {
            case split_result::ok: break;
            case split_result::name_too_long:
            case split_result::name_invalid:
                request->repo[0] = '\0';
                return answered(oci_reply_error(request, 400, "NAME_INVALID",
                                                "invalid repository name"));
            case split_result::no_name:
            case split_result::rest_too_long:
                request->repo[0] = '\0';
                request->rest[0] = '\0';
                return answered(oci_reply_error(request, 404, "NAME_UNKNOWN",
                                                "no such repository resource"));
        }
    }

    const oci_route *route = routes ? find_route(routes, route_count, request->method) : nullptr;
    if (!route && request->is_head && routes) route = find_route(routes, route_count, "GET");
    if (!route || !route->handler) return refuse_method(request, routes, routes ? route_count : 0);

    // The switches the environment sets need no storage, so they answer first; the storage's
    // own ones are known only once it is open.
    const bool writes = route->access != OCI_ACCESS_READ;
    const bool deletes = route->access == OCI_ACCESS_DELETE;
    const int deletes_env = deletes_by_env();
    if (writes && read_only_by_env())
        return answered(oci_reply_error(request, 405, "UNSUPPORTED", read_only_message));
    if (deletes && deletes_env == 0)
        return answered(oci_reply_error(request, 405, "UNSUPPORTED", no_delete_message));

    char why[256];
    switch (oci_access_check(request, route->access, why, sizeof why)) {
        case 1: break;
        case 0: return answered(oci_reply_error(request, 403, "DENIED", why));
        default: return answered(oci_reply_error(request, 500, "UNKNOWN", why));
    }

    // The engine's message may be about the root it was given; the client learns only that
    // the storage is not there. A root without its tree (a volume not mounted, a tree removed)
    // is a passing state for the client: 503, to come back once an operator has seen to it.
    if (oci_init_storage() != 0) {
        if (reg_storage_last_error_kind() != REG_ERR_NO_TREE)
            return answered(oci_reply_error(request, 500, "UNKNOWN", "storage is not available"));
        static const oci_header retry = {"Retry-After", "60"};
        return answered(oci_reply_error_headers(request, 503, "UNKNOWN", no_tree_message,
                                                &retry, 1));
    }

    if (writes) {
        reg_storage_settings settings;
        reg_storage_get_settings(&settings);
        if (settings.read_only)
            return answered(oci_reply_error(request, 405, "UNSUPPORTED", read_only_message));
        if (deletes && deletes_env < 0 && !settings.deletes_enabled)
            return answered(oci_reply_error(request, 405, "UNSUPPORTED", no_delete_message));
    }

    return route->handler(request);
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

}  // extern "C"
