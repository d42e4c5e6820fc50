#!/usr/bin/env bash
# The registry over GlusterFS behind HAProxy (deploy/start-cluster.sh) against the same on a
# local disk: GET of a 512 MiB layer through HAProxy and one instance; the throughput of four
# concurrent pullers with two instances against one; manifest PUTs per second.
#
# Usage: bench/run-cluster.sh [RUNS]   (default 3; the best run counts)
# Environment: BV_BENCH_MIB, the layer size (512); BV_BENCH_MANIFESTS, manifest PUTs per
# setting (400, by 4 clients at once); BV_BENCH_DIR, scratch directory for the local-disk root
# (default /tmp/bv-cluster-bench, the disk the brick lives on as well); BV_BENCH_PORT (18960);
# BV_BENCH_BIN_DIR, endpoint programs to use instead of building build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
mib=${BV_BENCH_MIB:-512}
manifests=${BV_BENCH_MANIFESTS:-400}
scratch=${BV_BENCH_DIR:-/tmp/bv-cluster-bench}
port=${BV_BENCH_PORT:-18960}
export BV_CLUSTER_DIR="$scratch/cluster"
lb="http://127.0.0.1:$port"

scripts/deps.sh build server cluster bench
if [[ -n "${BV_BENCH_BIN_DIR:-}" ]]; then
  bin=$BV_BENCH_BIN_DIR
else
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF >/dev/null
  cmake --build build/release -j "$(nproc)" >/dev/null
  bin=build/release/endpoints
fi

rm -rf "$scratch"
mkdir -p "$scratch/data" "$scratch/local"
trap 'deploy/start-cluster.sh down >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT

head -c $((mib << 20)) /dev/urandom >"$scratch/data/layer"
layer="sha256:$(sha256sum "$scratch/data/layer" | cut -d ' ' -f 1)"
layer_size=$(stat -c %s "$scratch/data/layer")
printf '{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":[]}}' >"$scratch/data/config"
config="sha256:$(sha256sum "$scratch/data/config" | cut -d ' ' -f 1)"
config_size=$(stat -c %s "$scratch/data/config")
# Distinct small manifests naming the same config and layer, one per PUT.
mkdir -p "$scratch/data/m"
for i in $(seq "$manifests"); do
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%s},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip","digest":"%s","size":%s}],"annotations":{"n":"%s"}}' \
    "$config" "$config_size" "$layer" "$layer_size" "$i" >"$scratch/data/m/$i"
done

up() {  # up INSTANCES [--storage DIR]
  local n=$1; shift
  deploy/start-cluster.sh up --port "$port" --instances "$n" --bin-dir "$bin" "$@" >/dev/null
  curl -sf -o /dev/null -X POST -H 'Expect:' -T "$scratch/data/layer" "$lb/v2/bench/blobs/uploads?digest=$layer"
  curl -sf -o /dev/null -X POST -H 'Expect:' -T "$scratch/data/config" "$lb/v2/bench/blobs/uploads?digest=$config"
}
down() { deploy/start-cluster.sh down >/dev/null; }

# Best single-stream GET speed in bytes/s.
pull_one() {
  local best=0 speed
  for _ in $(seq "$runs"); do
    speed=$(curl -sf -o /dev/null -w '%{speed_download}' "$lb/v2/bench/blobs/$layer")
    best=$(printf '%s\n' "$best" "$speed" | sort -g | tail -n 1)
  done
  echo "$best"
}

# Best aggregate speed of four concurrent GETs in bytes/s: four layers over the wall time.
pull_four() {
  local best=0 start end speed
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    for _ in 1 2 3 4; do curl -sf -o /dev/null "$lb/v2/bench/blobs/$layer" & done
    wait
    end=$(date +%s.%N)
    speed=$(echo "4 * $layer_size / ($end - $start)" | bc -l)
    best=$(printf '%s\n' "$best" "$speed" | sort -g | tail -n 1)
  done
  echo "$best"
}

# Manifest PUTs per second, four clients at once, each PUT a new tag.
put_rate() {
  local start end
  start=$(date +%s.%N)
  seq "$manifests" | xargs -P 4 -I{} curl -sf -o /dev/null -X PUT \
    -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
    --data-binary @"$scratch/data/m/{}" "$lb/v2/bench/manifests/t{}"
  end=$(date +%s.%N)
  echo "$manifests / ($end - $start)" | bc -l
}

echo "Disk: $(df -h --output=source,fstype "$scratch" | tail -n 1); load average: $(cut -d ' ' -f 1-3 /proc/loadavg)"
up 1 --storage "$scratch/local"
local_one=$(pull_one); local_four=$(pull_four); local_put=$(put_rate)
down
up 1
gluster_one=$(pull_one); gluster_four1=$(pull_four); gluster_put=$(put_rate)
down
up 2
gluster_four2=$(pull_four)
down

mbps() { echo "scale=1; $1 / 1048576" | bc -l; }
ratio() { echo "scale=3; $1 / $2" | bc -l; }
echo "GET of a $mib MiB layer through HAProxy, best of $runs:"
echo "  local disk, one instance:          $(mbps "$local_one") MiB/s"
echo "  GlusterFS, one instance:           $(mbps "$gluster_one") MiB/s   ratio $(ratio "$gluster_one" "$local_one") against local disk"
echo "Four concurrent pullers, aggregate:"
echo "  local disk, one instance:          $(mbps "$local_four") MiB/s"
echo "  GlusterFS, one instance:           $(mbps "$gluster_four1") MiB/s"
echo "  GlusterFS, two instances:          $(mbps "$gluster_four2") MiB/s   ratio $(ratio "$gluster_four2" "$gluster_four1") against one instance"
echo "Manifest PUT, $manifests by 4 clients:"
echo "  local disk:                        $(printf '%.1f' "$local_put") /s"
echo "  GlusterFS:                         $(printf '%.1f' "$gluster_put") /s   ratio $(ratio "$gluster_put" "$local_put") against local disk"
