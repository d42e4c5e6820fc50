#!/usr/bin/env python3
# Writes an OCI image layout with one multi-layer image for the cluster test and benchmark:
# random-content gzip tar layers, an image config and a manifest, tagged in index.json.
# Usage: make-oci-image.py DIR TAG LAYERS KIB_PER_LAYER SEED
import gzip
import hashlib
import io
import json
import os
import random
import sys
import tarfile


def put_blob(blobs, data):
    digest = hashlib.sha256(data).hexdigest()
    with open(os.path.join(blobs, digest), "wb") as out:
        out.write(data)
    return "sha256:" + digest


def layer(rng, kib, index):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        payload = rng.randbytes(kib * 1024)
        info = tarfile.TarInfo(f"layer{index}/data.bin")
        info.size = len(payload)
        info.mtime = 1700000000
        tar.addfile(info, io.BytesIO(payload))
    tar_bytes = raw.getvalue()
    # Level 1: the content is random, so compression gains nothing and should cost little.
    return tar_bytes, gzip.compress(tar_bytes, compresslevel=1, mtime=0)


def main():
    if len(sys.argv) != 6:
        sys.exit("usage: make-oci-image.py DIR TAG LAYERS KIB_PER_LAYER SEED")
    root, tag = sys.argv[1], sys.argv[2]
    layers, kib, seed = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    rng = random.Random(seed)
    blobs = os.path.join(root, "blobs", "sha256")
    os.makedirs(blobs, exist_ok=True)
    descriptors, diff_ids = [], []
    for i in range(layers):
        tar_bytes, gz = layer(rng, kib, i)
        diff_ids.append("sha256:" + hashlib.sha256(tar_bytes).hexdigest())
        descriptors.append({"mediaType": "application/vnd.oci.image.layer.v1.tar+gzip",
                            "digest": put_blob(blobs, gz), "size": len(gz)})
    config = json.dumps({"architecture": "amd64", "os": "linux",
                         "config": {"Labels": {"seed": str(seed)}},
                         "rootfs": {"type": "layers", "diff_ids": diff_ids}},
                        separators=(",", ":")).encode()
    manifest = json.dumps({"schemaVersion": 2,
                           "mediaType": "application/vnd.oci.image.manifest.v1+json",
                           "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                                      "digest": put_blob(blobs, config), "size": len(config)},
                           "layers": descriptors}, separators=(",", ":")).encode()
    manifest_digest = put_blob(blobs, manifest)
    with open(os.path.join(root, "oci-layout"), "w") as out:
        json.dump({"imageLayoutVersion": "1.0.0"}, out)
    with open(os.path.join(root, "index.json"), "w") as out:
        json.dump({"schemaVersion": 2, "manifests": [{
            "mediaType": "application/vnd.oci.image.manifest.v1+json",
            "digest": manifest_digest, "size": len(manifest),
            "annotations": {"org.opencontainers.image.ref.name": tag}}]}, out)
    print(manifest_digest)


if __name__ == "__main__":
    main()
