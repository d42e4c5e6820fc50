// The manifest store's one look into a body's JSON: a strict parse and the test of the few
// members the store relies on. Only manifest_json.cpp knows which JSON library does the work.
#pragma once

#include <cstddef>

namespace reg_internal {

enum class manifest_verdict {
    ok,
    parse_failed,       // not one standard JSON document of exactly the given bytes
    not_object,         // the root is not an object
    bad_config_digest,  // "config" is no object, or its "digest" is no valid digest string
    layers_not_array,   // "layers" is present and not an array
    bad_layer,          // a layer is no object with a valid "digest"; index in *bad_layer
};

// Parses exactly body_len bytes (never modified, never kept) and tests the manifest. For
// bad_layer, *bad_layer receives the index of the first failing element, counted from 0.
manifest_verdict manifest_check(const void *body, size_t body_len, size_t *bad_layer);

}  // namespace reg_internal
