// The manifest body check on RapidJSON: a strict parse of exactly the given bytes, the check
// of the four manifest forms and their descriptors, and the summary a referrers answer needs.
// No other file of the engine includes the library.
#include "storage/manifest_json.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/bv_platform.h"

#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

using rapidjson::SizeType;

// Validated UTF-8, no recursion however deep the nesting, and numbers kept as their text:
// none of the library's relaxations (comments, trailing commas, NaN) is switched on.
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

// The member names of the objects still open during a parse, decoded, so that each object's
// names are compared when it closes. They lie back to back in one buffer that gives an
// object's names back as it closes, so it never holds more than the body itself; sorting them
// keeps an object of many thousands of members cheap.
class member_names {
public:
    void open() { frames_.push_back({spans_.size(), text_.size()}); }
    void add(const char *s, size_t len) {
        spans_.push_back({text_.size(), len});
        text_.append(s, len);
    }
    // Whether the object closing now repeats a name; its names are dropped.
    bool close() {
        const frame f = frames_.back();
        frames_.pop_back();
        const auto begin = spans_.begin() + static_cast<std::ptrdiff_t>(f.first_span);
        std::sort(begin, spans_.end(),
                  [this](const span &a, const span &b) { return name(a) < name(b); });
        const auto repeat = std::adjacent_find(
            begin, spans_.end(), [this](const span &a, const span &b) { return name(a) == name(b); });
        const bool repeats = repeat != spans_.end();
        spans_.resize(f.first_span);
        text_.resize(f.text_at);
        return repeats;
    }

private:
    struct span {
        size_t at, len;
    };
    struct frame {
        size_t first_span, text_at;
    };
    std::string_view name(const span &s) const {
        return std::string_view(text_).substr(s.at, s.len);
    }

    std::string text_;
    std::vector<span> spans_;
    std::vector<frame> frames_;
};

// Which of the parse bounds stopped a parse.
enum class parse_bound { none, depth, values };

// Builds the document exactly as the library's own parse would, except that a number no
// double can hold stops the parse, and so, when `bounded`, does nesting or a value past the
// bounds (manifest_json.h); it also notes whether some object repeats a member name
// (the library keeps every repeat, and its lookups find the first). Numbers arrive as text:
// integers that 64 bits hold become integer values; any other number becomes a double whose
// value is never looked at, since only integer members (sizes, the schema version) are
// examined.
class checked_builder {
public:
    checked_builder(rapidjson::Document &doc, bool bounded) : doc_(doc), bounded_(bounded) {}

    bool Null() { return counted() && doc_.Null(); }
    bool Bool(bool b) { return counted() && doc_.Bool(b); }
    bool Int(int i) { return counted() && doc_.Int(i); }
    bool Uint(unsigned u) { return counted() && doc_.Uint(u); }
    bool Int64(int64_t i) { return counted() && doc_.Int64(i); }
    bool Uint64(uint64_t u) { return counted() && doc_.Uint64(u); }
    bool Double(double d) { return counted() && doc_.Double(d); }
    bool RawNumber(const char *s, SizeType len, bool) {
        if (!counted() || !number_fits_double(s, len)) return false;
        int64_t i = 0;
        uint64_t u = 0;
        switch (integer_of(s, len, &i, &u)) {
            case integer_form::int64: return doc_.Int64(i);
            case integer_form::uint64: return doc_.Uint64(u);
            case integer_form::none: break;
        }
        return doc_.Double(0.0);
    }
    bool String(const char *s, SizeType len, bool copy) {
        return counted() && doc_.String(s, len, copy);
    }
    bool StartObject() {
        if (!opened()) return false;
        names_.open();
        return doc_.StartObject();
    }
    bool Key(const char *s, SizeType len, bool copy) {
        if (!counted()) return false;
        names_.add(s, len);
        return doc_.Key(s, len, copy);
    }
    bool EndObject(SizeType members) {
        --depth_;
        if (names_.close()) repeats_ = true;
        return doc_.EndObject(members);
    }
    bool StartArray() { return opened() && doc_.StartArray(); }
    bool EndArray(SizeType elements) {
        --depth_;
        return doc_.EndArray(elements);
    }

    bool repeats() const { return repeats_; }
    parse_bound over_bound() const { return over_bound_; }

private:
    // Every value and member name passes here before the document grows by it, so a body
    // past the bounds stops the parse with the document still small.
    bool counted() {
        if (!bounded_ || ++values_ <= kManifestMaxValues) return true;
        over_bound_ = parse_bound::values;
        return false;
    }
    bool opened() {
        if (!counted()) return false;
        if (!bounded_ || ++depth_ <= kManifestMaxDepth) return true;
        over_bound_ = parse_bound::depth;
        return false;
    }

    rapidjson::Document &doc_;
    const bool bounded_;
    member_names names_;
    bool repeats_ = false;
    size_t values_ = 0;
    unsigned depth_ = 0;
    parse_bound over_bound_ = parse_bound::none;
};

// How a parse went: whether the bytes are one standard JSON document, whether some object
// of it repeats a member name, and whether memory ran out on the way.
struct parse_outcome {
    bool ok = false;
    bool repeats = false;
    bool out_of_memory = false;
    parse_bound over_bound = parse_bound::none;  // the bound that stopped the parse, if one did
};

// Feeds the body to the document. The plain memory stream takes the bytes as they are: it
// neither skips a byte-order mark nor needs a terminator.
struct body_parse {
    const char *data;
    size_t len;
    bool bounded;
    parse_outcome outcome;

    bool operator()(rapidjson::Document &doc) {
        try {
            rapidjson::MemoryStream in(data, len);
            checked_builder builder(doc, bounded);
            rapidjson::Reader reader;
            outcome.ok = !reader.Parse<kParseFlags>(in, builder).IsError();
            outcome.repeats = builder.repeats();
            outcome.over_bound = builder.over_bound();
        } catch (const std::bad_alloc &) {
            outcome.ok = false;
            outcome.out_of_memory = true;
        }
        return outcome.ok;
    }
};

// What the library would let through although it is no standard JSON of exactly these bytes:
// its streams report a NUL byte as the end of the input, and its encoding-aware parse skips
// a leading UTF-8 byte-order mark.
bool refused_before_parse(const unsigned char *body, size_t len) {
    if (len >= 3 && body[0] == 0xEF && body[1] == 0xBB && body[2] == 0xBF) return true;
    return std::memchr(body, 0, len) != nullptr;
}


using rapidjson::Value;

// Parses a body into `doc`: not ok for anything but one standard JSON document of exactly
// these bytes, nor, when `bounded`, for one past the nesting or value bounds.
parse_outcome parse_body(const void *body, size_t body_len, bool bounded,
                         rapidjson::Document *doc) {
    const auto *bytes = static_cast<const unsigned char *>(body);
    if (body_len > 0 && !body) return {};
    if (refused_before_parse(bytes, body_len)) return {};
    body_parse parse{reinterpret_cast<const char *>(bytes), body_len, bounded, {}};
    doc->Populate(parse);
    return parse.outcome;
}

// The (first, where a key repeats) member of that name, or null.
const Value *member(const Value &obj, const char *name) {
    const auto it = obj.FindMember(name);
    return it == obj.MemberEnd() ? nullptr : &it->value;
}

// Calls `f` with every member of that name, in body order: a body stored before repeated
// names were refused may hold several, and a reader may take any one of them.
template <typename F>
void each_member(const Value &obj, const char *name, F &&f) {
    const size_t len = std::strlen(name);
    for (auto m = obj.MemberBegin(); m != obj.MemberEnd(); ++m)
        if (m->name.GetStringLength() == len && std::memcmp(m->name.GetString(), name, len) == 0)
            f(m->value);
}

// The text of a string value that holds no NUL, else null. Without the length test an
// escaped NUL would hide whatever follows a valid-looking prefix.
const char *plain_string(const Value *v) {
    if (!v || !v->IsString()) return nullptr;
    const char *text = v->GetString();
    return std::strlen(text) == v->GetStringLength() ? text : nullptr;
}

bool media_type_value_ok(const Value *v) {
    return v && v->IsString() && media_type_form_ok(v->GetString(), v->GetStringLength());
}

// The annotation rules: an object whose every value is a string.
bool annotations_ok(const Value &v) {
    if (!v.IsObject()) return false;
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m)
        if (!m->value.IsString()) return false;
    return true;
}

bool is_image(manifest_kind kind) {
    return kind == manifest_kind::oci_manifest || kind == manifest_kind::docker_manifest;
}

// The checks of one body, each failing with its reason in the caller's buffer.
class checker {
public:
    checker(manifest_facts *facts, char *why, size_t why_size)
        : facts_(facts), why_(why), why_size_(why_size) {}

    bool out_of_memory() const { return oom_; }

    BV_PRINTF_FORMAT(2, 3)
    bool fail(const char *fmt, ...) {
        if (why_ && why_size_ > 0) {
            va_list ap;
            va_start(ap, fmt);
            std::vsnprintf(why_, why_size_, fmt, ap);
            va_end(ap);
        }
        return false;
    }

    // A content descriptor: media type, digest (sha256 or sha512), size, and the optional members whose
    // form the image format fixes. `where` names it in the reason; its digest into *digest.
    bool descriptor(const Value *v, const char *where, const char **digest) {
        if (!v || !v->IsObject()) return fail("manifest %s: not a descriptor", where);
        if (!media_type_value_ok(member(*v, "mediaType")))
            return fail("manifest %s: mediaType must be a media type", where);
        const char *text = plain_string(member(*v, "digest"));
        // Only sha256 and sha512 are stored, so another algorithm is refused like a malformed
        // digest.
        if (!text || !digest_valid(text))
            return fail("manifest %s: digest must be sha256 with 64 or sha512 with 128 "
                        "lower-case hex digits", where);
        const Value *size = member(*v, "size");
        if (!size || !size->IsInt64() || size->GetInt64() < 0)
            return fail("manifest %s: size must be a non-negative integer", where);
        if (const Value *urls = member(*v, "urls")) {
            bool ok = urls->IsArray();
            for (SizeType i = 0; ok && i < urls->Size(); ++i) ok = (*urls)[i].IsString();
            if (!ok) return fail("manifest %s: urls must be an array of strings", where);
        }
        const Value *annotations = member(*v, "annotations");
        if (annotations && !annotations_ok(*annotations))
            return fail("manifest %s: annotations must map strings to strings", where);
        const Value *artifact_type = member(*v, "artifactType");
        if (artifact_type && !media_type_value_ok(artifact_type))
            return fail("manifest %s: artifactType must be a media type", where);
        *digest = text;
        return true;
    }

    bool add_ref(const char *digest, bool is_manifest) {
        if (facts_->ref_count == facts_->ref_cap) {
            const size_t cap = facts_->ref_cap ? facts_->ref_cap * 2 : 16;
            void *grown = std::realloc(facts_->refs, cap * sizeof(manifest_ref));
            if (!grown) {
                oom_ = true;
                return false;
            }
            facts_->refs = static_cast<manifest_ref *>(grown);
            facts_->ref_cap = cap;
        }
        manifest_ref &ref = facts_->refs[facts_->ref_count++];
        std::snprintf(ref.digest, sizeof ref.digest, "%s", digest);
        ref.is_manifest = is_manifest;
        return true;
    }

    // "config" and "layers"; a layer that names where else it can be fetched ("urls") need
    // not be held by the repository.
    bool image(const Value &root) {
        if (member(root, "manifests")) return fail("manifest: an image manifest holds no manifests");
        const char *digest = nullptr;
        if (!descriptor(member(root, "config"), "config", &digest) || !add_ref(digest, false))
            return false;
        const Value *layers = member(root, "layers");
        if (!layers || !layers->IsArray()) return fail("manifest layers must be an array");
        for (SizeType i = 0; i < layers->Size(); ++i) {
            char where[32];
            std::snprintf(where, sizeof where, "layer %u", static_cast<unsigned>(i));
            const Value &layer = (*layers)[i];
            if (!descriptor(&layer, where, &digest)) return false;
            const Value *urls = member(layer, "urls");
            if (urls && urls->Size() > 0) continue;
            if (!add_ref(digest, false)) return false;
        }
        return true;
    }

    // "manifests", each a manifest of the same repository; an index has no config or layers,
    // so that no body can be read both as an index and as an image manifest.
    bool index(const Value &root) {
        if (member(root, "config") || member(root, "layers"))
            return fail("manifest: an image index holds no config or layers");
        const Value *manifests = member(root, "manifests");
        if (!manifests || !manifests->IsArray()) return fail("manifest manifests must be an array");
        for (SizeType i = 0; i < manifests->Size(); ++i) {
            char where[32];
            std::snprintf(where, sizeof where, "entry %u", static_cast<unsigned>(i));
            const char *digest = nullptr;
            if (!descriptor(&(*manifests)[i], where, &digest) || !add_ref(digest, true))
                return false;
        }
        return true;
    }

private:
    manifest_facts *facts_;
    char *why_;
    size_t why_size_;
    bool oom_ = false;
};

// The kind a body is checked as: the stored media type when given, else the body's own, else
// what its members imply. none (with the reason) when it cannot be one of the four.
manifest_kind choose_kind(const Value &root, const char *media_type, checker *check) {
    const Value *own = member(root, "mediaType");
    const char *own_type = plain_string(own);
    if (own && !own_type) {
        check->fail("manifest mediaType must be a string");
        return manifest_kind::none;
    }
    manifest_kind kind = manifest_kind::none;
    if (media_type && *media_type) {
        kind = manifest_kind_of(media_type);
        if (kind != manifest_kind::none && own_type && std::strcmp(own_type, media_type) != 0) {
            check->fail("manifest mediaType does not match the media type it is stored under");
            return manifest_kind::none;
        }
    } else if (own_type) {
        kind = manifest_kind_of(own_type);
    } else if (member(root, "config")) {
        return manifest_kind::oci_manifest;
    } else if (member(root, "manifests")) {
        return manifest_kind::oci_index;
    } else {
        check->fail("manifest has neither config nor manifests");
        return manifest_kind::none;
    }
    if (kind == manifest_kind::none) check->fail("manifest media type not supported");
    return kind;
}

constexpr struct {
    manifest_kind kind;
    const char *media_type;
} kKinds[] = {
    {manifest_kind::oci_manifest, "application/vnd.oci.image.manifest.v1+json"},
    {manifest_kind::oci_index, "application/vnd.oci.image.index.v1+json"},
    {manifest_kind::docker_manifest, "application/vnd.docker.distribution.manifest.v2+json"},
    {manifest_kind::docker_list, "application/vnd.docker.distribution.manifest.list.v2+json"},
};

}  // namespace

const char *manifest_kind_media_type(manifest_kind kind) {
    for (const auto &k : kKinds)
        if (k.kind == kind) return k.media_type;
    return "";
}

manifest_kind manifest_kind_of(const char *media_type) {
    for (const auto &k : kKinds)
        if (media_type && std::strcmp(k.media_type, media_type) == 0) return k.kind;
    return manifest_kind::none;
}

bool media_type_form_ok(const char *text, size_t len) {
    if (!text || len == 0 || len >= REG_MEDIA_TYPE_SIZE) return false;
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

manifest_facts::~manifest_facts() { std::free(refs); }

manifest_summary::~manifest_summary() { std::free(annotations); }

int manifest_check(const void *body, size_t body_len, const char *media_type,
                   manifest_facts *facts, char *why, size_t why_size) {
    if (why && why_size > 0) why[0] = '\0';
    checker check(facts, why, why_size);
    rapidjson::Document doc;
    const parse_outcome parsed = parse_body(body, body_len, true, &doc);
    if (parsed.out_of_memory) return kManifestOutOfMemory;
    if (parsed.over_bound == parse_bound::depth) {
        check.fail("manifest nests arrays and objects deeper than %u levels", kManifestMaxDepth);
        return -1;
    }
    if (parsed.over_bound == parse_bound::values) {
        check.fail("manifest holds more than %zu JSON values", kManifestMaxValues);
        return -1;
    }
    if (!parsed.ok) {
        check.fail("manifest JSON parse failed");
        return -1;
    }
    // Readers differ on which of two members of one name counts (this parse finds the first,
    // most clients keep the last), so a repeat would let a client pull what was never checked.
    if (parsed.repeats) {
        check.fail("manifest repeats a member name within one object");
        return -1;
    }
    const Value &root = doc;
    if (!root.IsObject()) {
        check.fail("manifest must be a JSON object");
        return -1;
    }
    // Schema 1 has its own version number, and no later schema exists.
    const Value *version = member(root, "schemaVersion");
    if (!version || !version->IsInt64() || version->GetInt64() != 2) {
        check.fail("manifest schemaVersion must be 2");
        return -1;
    }

    const manifest_kind kind = choose_kind(root, media_type, &check);
    if (kind == manifest_kind::none) return -1;
    const Value *artifact_type = member(root, "artifactType");
    if (artifact_type && !media_type_value_ok(artifact_type)) {
        check.fail("manifest artifactType must be a media type");
        return -1;
    }
    const Value *annotations = member(root, "annotations");
    if (annotations && !annotations_ok(*annotations)) {
        check.fail("manifest annotations must map strings to strings");
        return -1;
    }

    const bool ok = is_image(kind) ? check.image(root) : check.index(root);
    if (!ok) return check.out_of_memory() ? kManifestOutOfMemory : -1;
    if (const Value *subject = member(root, "subject")) {
        const char *digest = nullptr;
        if (!check.descriptor(subject, "subject", &digest)) return -1;
        std::snprintf(facts->subject, sizeof facts->subject, "%s", digest);
    }
    facts->kind = kind;
    return 0;
}

int manifest_summarize(const void *body, size_t body_len, manifest_summary *out) {
    rapidjson::Document doc;
    if (!parse_body(body, body_len, true, &doc).ok || !doc.IsObject()) return -1;
    const Value &root = doc;
    const char *artifact_type = plain_string(member(root, "artifactType"));
    const Value *config = member(root, "config");
    // Only an image manifest falls back to its config's type; an index without an artifact
    // type has none.
    if ((!artifact_type || !*artifact_type) && config && config->IsObject())
        artifact_type = plain_string(member(*config, "mediaType"));
    if (artifact_type) std::snprintf(out->artifact_type, sizeof out->artifact_type, "%s", artifact_type);

    const Value *subject = member(root, "subject");
    const char *digest = subject && subject->IsObject() ? plain_string(member(*subject, "digest")) : nullptr;
    if (digest && digest_valid(digest)) std::snprintf(out->subject, sizeof out->subject, "%s", digest);

    const Value *annotations = member(root, "annotations");
    if (annotations && annotations_ok(*annotations)) {
        rapidjson::StringBuffer text;
        rapidjson::Writer<rapidjson::StringBuffer> writer(text);
        annotations->Accept(writer);
        out->annotations_len = text.GetSize();
        out->annotations = static_cast<char *>(std::malloc(out->annotations_len + 1));
        if (!out->annotations) return -1;
        std::memcpy(out->annotations, text.GetString(), out->annotations_len + 1);
    }
    return 0;
}

int manifest_named_digests(const void *body, size_t body_len, named_digest_fn fn, void *ctx,
                           bool *repeats_names) {
    rapidjson::Document doc;
    // Unbounded: a body stored before the bounds came must still show the collector
    // everything it names.
    const parse_outcome parsed = parse_body(body, body_len, false, &doc);
    if (!parsed.ok || !doc.IsObject()) return -1;
    if (repeats_names) *repeats_names = parsed.repeats;
    const Value &root = doc;
    auto visit = [&](const Value &d, named_kind kind) {
        if (!d.IsObject()) return;
        // A layer counts as fetched elsewhere only when every "urls" it carries says so.
        bool elsewhere = false;
        bool here = false;
        each_member(d, "urls", [&](const Value &urls) {
            (urls.IsArray() && urls.Size() > 0 ? elsewhere : here) = true;
        });
        if (kind == named_kind::blob && elsewhere && !here) kind = named_kind::external_blob;
        each_member(d, "digest", [&](const Value &v) {
            const char *digest = plain_string(&v);
            if (digest && digest_valid(digest)) fn(ctx, digest, kind);
        });
    };
    auto visit_all = [&](const Value &list, named_kind kind) {
        if (!list.IsArray()) return;
        for (SizeType i = 0; i < list.Size(); ++i) visit(list[i], kind);
    };
    each_member(root, "config", [&](const Value &v) { visit(v, named_kind::blob); });
    each_member(root, "layers", [&](const Value &v) { visit_all(v, named_kind::blob); });
    each_member(root, "manifests", [&](const Value &v) { visit_all(v, named_kind::child); });
    each_member(root, "subject", [&](const Value &v) { visit(v, named_kind::subject); });
    return 0;
}

}  // namespace reg_internal
