#!/usr/bin/env bash
# Cost of the storage statistics over 100,000 blobs in the 256 fan-out directories, side by side
# with `du -sb` over the same blob directory. Target ratio: at most 1.5.
#
# Usage: bench/run-stats.sh [ROUNDS]   (default 15 interleaved rounds)
# Environment: BV_BENCH_DIR, the scratch store (default /tmp/bv-stats-bench; made once and kept
# for later runs); BV_BENCH_BLOBS, the number of blobs (100000).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-15}
dir=${BV_BENCH_DIR:-/tmp/bv-stats-bench}
blobs=${BV_BENCH_BLOBS:-100000}
scripts/deps.sh build
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target stats_bench -j "$(nproc)" >/dev/null
build/bench/bench/stats_bench "$dir" "$blobs" "$rounds"
