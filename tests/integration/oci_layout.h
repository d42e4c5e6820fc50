// OCI image layouts made at test time for the registry clients to push: random layer tarballs,
// image configs, manifests and a two-platform index, written as an oci-layout directory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "tests/support/sha256_hex.h"

namespace ocilayout {

namespace fs = std::filesystem;

inline const char kManifestType[] = "application/vnd.oci.image.manifest.v1+json";
inline const char kIndexType[] = "application/vnd.oci.image.index.v1+json";
inline const char kConfigType[] = "application/vnd.oci.image.config.v1+json";
inline const char kLayerType[] = "application/vnd.oci.image.layer.v1.tar+gzip";

inline std::string digest_of(const std::string &data) { return "sha256:" + bvtest::sha256_hex(data); }

// A ustar archive of regular files, as a layer holds them.
inline std::string tar_of(const std::vector<std::pair<std::string, std::string>> &files) {
    std::string out;
    for (const auto &[name, content] : files) {
        char header[512] = {};
        std::snprintf(header, 100, "%s", name.c_str());
        std::snprintf(header + 100, 8, "%07o", 0644);
        std::snprintf(header + 108, 8, "%07o", 0);
        std::snprintf(header + 116, 8, "%07o", 0);
        std::snprintf(header + 124, 12, "%011llo", static_cast<unsigned long long>(content.size()));
        std::snprintf(header + 136, 12, "%011o", 1700000000);
        header[156] = '0';
        std::memcpy(header + 257, "ustar", 6);
        std::memcpy(header + 263, "00", 2);
        std::memset(header + 148, ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : header) sum += c;
        std::snprintf(header + 148, 8, "%06o", sum);
        header[155] = ' ';
        out.append(header, sizeof header);
        out += content;
        out.append((512 - content.size() % 512) % 512, '\0');
    }
    out.append(1024, '\0');
    return out;
}

// A gzip member of stored (uncompressed) deflate blocks: a real gzip stream, so clients take
// the layer as compressed and push it unchanged, made without a compression library.
inline std::string gzip_stored(const std::string &data) {
    static const auto table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) crc = table[(crc ^ c) & 0xFF] ^ (crc >> 8);
    crc ^= 0xFFFFFFFFu;
    auto le32 = [](std::string &out, uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(65535, data.size() - at);
        const bool last = at + n == data.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<char>(n & 0xFF));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(~n & 0xFF));
        out.push_back(static_cast<char>((~n >> 8) & 0xFF));
        out.append(data, at, n);
        at += n;
    } while (at < data.size());
    le32(out, crc);
    le32(out, static_cast<uint32_t>(data.size()));
    return out;
}

inline std::string random_bytes(std::mt19937_64 &rng, size_t size) {
    std::string out(size, '\0');
    for (auto &c : out) c = static_cast<char>(rng() & 0xFF);
    return out;
}

inline std::string descriptor(const char *media_type, const std::string &data, const std::string &extra = "") {
    return "{\"mediaType\":\"" + std::string(media_type) + "\",\"digest\":\"" + digest_of(data) +
           "\",\"size\":" + std::to_string(data.size()) + extra + "}";
}

// One image of the layout: its manifest and the blobs it names.
struct Image {
    std::string manifest;
    std::string config;
    std::vector<std::string> layers;
    std::string digest() const { return digest_of(manifest); }
};

// Collects blobs and writes them out as an OCI layout with an index of tagged entries.
class Layout {
public:
    explicit Layout(uint64_t seed) : rng_(seed) {}

    // An image for one platform with `layer_count` layers of random files.
    Image image(const std::string &arch, int layer_count, size_t layer_size = 4096) {
        Image img;
        std::string diff_ids;
        for (int i = 0; i < layer_count; ++i) {
            const std::string tar = tar_of({{"data/" + arch + "-" + std::to_string(i) + ".bin", random_bytes(rng_, layer_size)},
                                            {"etc/marker-" + std::to_string(i), arch + "\n"}});
            img.layers.push_back(gzip_stored(tar));
            diff_ids += (i ? ",\"" : "\"") + digest_of(tar) + "\"";
        }
        img.config = "{\"architecture\":\"" + arch + "\",\"os\":\"linux\",\"config\":{\"Cmd\":[\"/bin/true\"]}," +
                     "\"rootfs\":{\"type\":\"layers\",\"diff_ids\":[" + diff_ids + "]}}";
        std::string layers;
        for (size_t i = 0; i < img.layers.size(); ++i) layers += (i ? "," : "") + descriptor(kLayerType, img.layers[i]);
        img.manifest = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kManifestType) +
                       "\",\"config\":" + descriptor(kConfigType, img.config) + ",\"layers\":[" + layers + "]}";
        add(img.config);
        for (const auto &l : img.layers) add(l);
        add(img.manifest);
        return img;
    }

    // An index over images, one platform entry each; the index itself is a blob of the layout.
    std::string index_of(const std::vector<std::pair<Image, std::string>> &images) {
        std::string entries;
        for (size_t i = 0; i < images.size(); ++i)
            entries += (i ? "," : "") + descriptor(kManifestType, images[i].first.manifest,
                                                    ",\"platform\":{\"architecture\":\"" + images[i].second +
                                                        "\",\"os\":\"linux\"}");
        std::string index = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[" +
                            entries + "]}";
        add(index);
        return index;
    }

    void add(const std::string &blob) { blobs_.push_back(blob); }

    // Writes the layout to `dir`; `tags` maps each ref name to the manifest or index it names.
    void write(const fs::path &dir, const std::vector<std::pair<std::string, std::pair<const char *, std::string>>> &tags) const {
        fs::create_directories(dir / "blobs" / "sha256");
        for (const auto &b : blobs_) bvtest::write_all(dir / "blobs" / "sha256" / bvtest::sha256_hex(b), b);
        bvtest::write_all(dir / "oci-layout", "{\"imageLayoutVersion\":\"1.0.0\"}");
        std::string entries;
        for (size_t i = 0; i < tags.size(); ++i)
            entries += (i ? "," : "") +
                       descriptor(tags[i].second.first, tags[i].second.second,
                                  ",\"annotations\":{\"org.opencontainers.image.ref.name\":\"" + tags[i].first + "\"}");
        bvtest::write_all(dir / "index.json", "{\"schemaVersion\":2,\"manifests\":[" + entries + "]}");
    }

private:
    std::mt19937_64 rng_;
    std::vector<std::string> blobs_;
};

}  // namespace ocilayout
