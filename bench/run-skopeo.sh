#!/usr/bin/env bash
# skopeo push and pull of a one-layer image (a 512 MiB layer of random bytes) through lighttpd,
# against the client's floor: the same copy between two local OCI layout directories.
#
# Usage: bench/run-skopeo.sh [MIB]   (default 512)
# Environment: BV_BENCH_DIR, the scratch directory (default /tmp/bv-skopeo-bench, removed
# afterwards); it holds the source layout, the registry's storage and the copies (about 4x MIB).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
mib=${1:-512}
dir=${BV_BENCH_DIR:-/tmp/bv-skopeo-bench}

scripts/deps.sh build server bench
build="$repo/build/bench"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target v2_ping v2_blobs v2_uploads v2_manifests v2_tags registry-init -j "$(nproc)" >/dev/null

rm -rf "$dir"
mkdir -p "$dir"/{docroot,spool,tmp}
"$build/tools/registry-init" --storage "$dir/storage" >/dev/null
pid=
cleanup() {
  [[ -n "$pid" ]] && { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  rm -rf "$dir"
}
trap cleanup EXIT

# The image: one layer, a tar of one random file, gzip-framed with stored blocks so the client
# takes it as compressed and sends it unchanged, without paying for compression here.
python3 - "$dir/src" "$mib" <<'PY'
import gzip, hashlib, io, json, os, sys, tarfile
out, mib = sys.argv[1], int(sys.argv[2])
blobs = os.path.join(out, "blobs", "sha256"); os.makedirs(blobs)
def put(data):
    h = hashlib.sha256(data).hexdigest()
    open(os.path.join(blobs, h), "wb").write(data)
    return "sha256:" + h
raw = io.BytesIO()
with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as t:
    info = tarfile.TarInfo("payload.bin"); info.size = mib << 20; info.mtime = 1700000000
    t.addfile(info, io.BytesIO(os.urandom(info.size)))
tar = raw.getvalue()
layer = gzip.compress(tar, compresslevel=0, mtime=0)
config = json.dumps({"architecture": "amd64", "os": "linux",
                     "rootfs": {"type": "layers", "diff_ids": ["sha256:" + hashlib.sha256(tar).hexdigest()]}}).encode()
desc = lambda t, d: {"mediaType": t, "digest": put(d), "size": len(d)}
manifest = json.dumps({"schemaVersion": 2, "mediaType": "application/vnd.oci.image.manifest.v1+json",
                       "config": desc("application/vnd.oci.image.config.v1+json", config),
                       "layers": [desc("application/vnd.oci.image.layer.v1.tar+gzip", layer)]}).encode()
entry = desc("application/vnd.oci.image.manifest.v1+json", manifest)
entry["annotations"] = {"org.opencontainers.image.ref.name": "v1"}
open(os.path.join(out, "index.json"), "w").write(json.dumps({"schemaVersion": 2, "manifests": [entry]}))
open(os.path.join(out, "oci-layout"), "w").write('{"imageLayoutVersion":"1.0.0"}')
PY

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
BV_PORT=$port BV_BIND=127.0.0.1 BV_BIN_DIR="$build/endpoints" BV_DEPLOY_DIR="$repo/deploy" \
  BV_DOC_ROOT="$dir/docroot" BV_SPOOL_DIR="$dir/spool" BV_X_SENDFILE=1 REGISTRY_STORAGE_ROOT="$dir/storage" \
  lighttpd -D -f "$repo/deploy/lighttpd.conf" 2>/dev/null &
pid=$!
for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/v2/" -o /dev/null && break; sleep 0.05; done

echo '{"default":[{"type":"insecureAcceptAnything"}]}' >"$dir/policy.json"
: >"$dir/registries.conf"
copy() {
  CONTAINERS_REGISTRIES_CONF="$dir/registries.conf" skopeo --policy "$dir/policy.json" --tmpdir "$dir/tmp" \
    copy -q --src-tls-verify=false --dest-tls-verify=false --dest-oci-accept-uncompressed-layers "$@"
}
timed() {  # LABEL COMMAND... ; prints the seconds
  local start end
  sync
  start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N)
  python3 -c "print(f'{$end - $start:.2f}')"
}

echo "Disk: $(df -h --output=source,fstype "$dir" | tail -n 1); layer: $mib MiB"
echo "Load average before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
floor=$(timed copy "oci:$dir/src:v1" "oci:$dir/floor:v1")
push=$(timed copy "oci:$dir/src:v1" "docker://127.0.0.1:$port/bench/big:v1")
pull=$(timed copy "docker://127.0.0.1:$port/bench/big:v1" "oci:$dir/pulled:v1")
echo "Load average after:  $(cut -d ' ' -f 1-3 /proc/loadavg)"
cmp -s "$dir/src/blobs/sha256/$(ls -S "$dir/src/blobs/sha256" | head -n 1)" \
       "$dir/pulled/blobs/sha256/$(ls -S "$dir/src/blobs/sha256" | head -n 1)" \
  && echo "pulled layer: identical to the pushed one" || echo "pulled layer: DIFFERS from the pushed one"

printf '\n%-44s %8s %8s\n' "skopeo copy, one $mib MiB layer" "seconds" "x floor"
printf '%-44s %8s %8s\n' "oci: layout -> oci: layout (client floor)" "$floor" "1.00"
printf '%-44s %8s %8s\n' "push oci: layout -> registry via lighttpd" "$push" "$(python3 -c "print(f'{$push/$floor:.2f}')")"
printf '%-44s %8s %8s\n' "pull registry via lighttpd -> oci: layout" "$pull" "$(python3 -c "print(f'{$pull/$floor:.2f}')")"
