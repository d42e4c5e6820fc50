// The manifest store's one look into a body's JSON: a strict parse, the check of image
// manifests, image indexes and their Docker forms, and the few facts the store keeps of them.
// Only manifest_json.cpp knows which JSON library does the work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/storage_internal.h"

namespace reg_internal {

enum class manifest_kind { none, oci_manifest, oci_index, docker_manifest, docker_list };

// The media type a kind is stored under, and the kind a media type names (none for every
// other text, schema 1 included).
const char *manifest_kind_media_type(manifest_kind kind);
manifest_kind manifest_kind_of(const char *media_type);

// A media type the store can keep and hand out in a header: 1 to 255 bytes, none of them a
// control byte.
bool media_type_form_ok(const char *text, size_t len);

// The bounds that keep a body's parse small whatever the body: nesting beyond this many levels
// of arrays and objects, or more values than this (member names count, every value of an array
// or object too), refuses the body before the document grows past a few MiB. Real manifests
// nest five levels and hold a value for every 20 bytes or so of their text.
inline constexpr unsigned kManifestMaxDepth = 64;
inline constexpr size_t kManifestMaxValues = 262144;

// Whether a JSON number (its form already checked by the parser) is finite as a double.
bool number_fits_double(const char *s, size_t len);

// The value of a number written as a plain integer (no fraction, no exponent) that int64_t or
// uint64_t holds; none for every other number.
enum class integer_form { none, int64, uint64 };
integer_form integer_of(const char *s, size_t len, int64_t *out_i, uint64_t *out_u);

// A digest a body names that the repository must hold before the body is stored.
struct manifest_ref {
    char digest[kDigestSize];
    bool is_manifest;  // an index's child; else a blob (a config or a layer without "urls")
};

// What the store needs of a body it accepts. The destructor frees the references.
struct manifest_facts {
    manifest_kind kind = manifest_kind::none;
    char subject[kDigestSize] = "";  // the subject's digest string, "" when there is none
    manifest_ref *refs = nullptr;
    size_t ref_count = 0;
    size_t ref_cap = 0;

    manifest_facts() = default;
    ~manifest_facts();
    manifest_facts(const manifest_facts &) = delete;
    manifest_facts &operator=(const manifest_facts &) = delete;
};

// Parses exactly body_len bytes (never modified, never kept) and checks them as a manifest.
// `media_type` is the type the caller stores it under, parameters already dropped; null or
// empty takes the body's own "mediaType", else what its members imply ("config": an image
// manifest, "manifests": an index). A body in which some object repeats a member name (however
// the name is escaped) is refused, and so is one past the nesting or value bounds above. 0 with
// *facts filled, or -1 with the reason (which never
// quotes the body) in `why`; kManifestOutOfMemory when memory ran out.
inline constexpr int kManifestOutOfMemory = -2;
int manifest_check(const void *body, size_t body_len, const char *media_type,
                   manifest_facts *facts, char *why, size_t why_size);

// What a referrers answer tells of a stored manifest. The destructor frees the annotations.
struct manifest_summary {
    // Its "artifactType", else an image manifest's config media type, else "".
    char artifact_type[REG_MEDIA_TYPE_SIZE] = "";
    char subject[kDigestSize] = "";  // as in manifest_facts
    char *annotations = nullptr;     // the "annotations" object as JSON text, or null
    size_t annotations_len = 0;

    manifest_summary() = default;
    ~manifest_summary();
    manifest_summary(const manifest_summary &) = delete;
    manifest_summary &operator=(const manifest_summary &) = delete;
};

// Reads a stored body for its summary, taking the first of repeated members: 0, or -1 when
// it does not parse, passes the nesting or value bounds, or memory runs out.
int manifest_summarize(const void *body, size_t body_len, manifest_summary *out);

// What a stored body names, for the garbage collector and the verifier: a blob (config or
// layer), a layer that says where else it can be fetched ("urls", so it may be absent), an
// index child, or the subject.
enum class named_kind { blob, external_blob, child, subject };
using named_digest_fn = void (*)(void *ctx, const char *digest, named_kind kind);

// Calls `fn` for every digest string (either algorithm) the body's descriptors name, whether or not the body
// would pass manifest_check today; descriptors of another form are passed over. Where an
// object repeats a member name (a body stored before such bodies were refused), what every
// one of the repeats names is passed, and *repeats_names (when not null) is set true; it is
// set false for a body without repeats. 0, or -1 when the body is no JSON object (nothing was
// called then) or memory ran out.
int manifest_named_digests(const void *body, size_t body_len, named_digest_fn fn, void *ctx,
                           bool *repeats_names);

}  // namespace reg_internal
