#!/usr/bin/env bash
# Manifest GET by tag through lighttpd at 8 concurrent connections (wrk), against a static C
# program that writes a fixed manifest answer, served by the same lighttpd configuration under
# the same URL. Target: the manifest program reaches at least 0.9 of the baseline's rate.
#
# Usage: bench/run-manifests.sh [SECONDS] [ROUNDS]   (default 10 s, 3 alternating rounds each;
# the best round of each side counts)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
seconds=${1:-10}
rounds=${2:-3}

scripts/deps.sh build server bench
build="$repo/build/bench"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target v2_manifests manifest_seed -j "$(nproc)" >/dev/null
# The baseline is built the way the endpoint programs are: optimised and linked statically.
cc -O2 -static -o "$build/bench/manifest_baseline" bench/manifest_baseline.c

work=$(mktemp -d /tmp/bv-manifest-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/manifest_seed" "$work/storage" bench/app latest >/dev/null
mkdir -p "$work/real" "$work/baseline" "$work/docroot" "$work/spool"
cp "$build/endpoints/v2_manifests" "$work/real/v2_manifests"
cp "$build/bench/manifest_baseline" "$work/baseline/v2_manifests"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# One lighttpd per program directory, both from deploy/lighttpd.conf.
serve() {  # BIN_DIR PORT
  BV_PORT=$2 BV_BIND=127.0.0.1 BV_BIN_DIR=$1 BV_DEPLOY_DIR="$repo/deploy" BV_DOC_ROOT="$work/docroot" \
    BV_SPOOL_DIR="$work/spool" BV_X_SENDFILE=1 REGISTRY_STORAGE_ROOT="$work/storage" \
    lighttpd -D -f "$repo/deploy/lighttpd.conf" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do curl -fs "http://127.0.0.1:$2/v2/bench/app/manifests/latest" -o /dev/null && return; sleep 0.05; done
  echo "lighttpd on port $2 did not answer" >&2
  exit 1
}
real_port=$(free_port); serve "$work/real" "$real_port"
base_port=$(free_port); serve "$work/baseline" "$base_port"

url() { echo "http://127.0.0.1:$1/v2/bench/app/manifests/latest"; }
rate() {  # PORT SECONDS -> requests per second
  wrk -t 2 -c 8 -d "${2}s" "$(url "$1")" | awk '/^Requests\/sec:/ {print $2}'
}

echo "Answer of the manifest program:"
curl -s -D - -o /dev/null "$(url "$real_port")" | sed 's/^/  /'
echo "Load average before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
rate "$real_port" 2 >/dev/null; rate "$base_port" 2 >/dev/null  # warm-up

best_real=0; best_base=0
for round in $(seq "$rounds"); do
  b=$(rate "$base_port" "$seconds"); r=$(rate "$real_port" "$seconds")
  printf 'round %d: baseline %10.1f req/s   v2_manifests %10.1f req/s\n' "$round" "$b" "$r"
  best_base=$(python3 -c "print(max($best_base, $b))"); best_real=$(python3 -c "print(max($best_real, $r))")
done
echo "Load average after:  $(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '\n%-34s %12s\n' "GET manifest by tag, 8 connections" "req/s (best)"
printf '%-34s %12.1f\n' "static C baseline" "$best_base" "v2_manifests" "$best_real"
python3 -c "r=$best_real/$best_base; print(f'ratio v2_manifests / baseline: {r:.3f}  (target >= 0.9: {\"met\" if r >= 0.9 else \"missed\"})')"
