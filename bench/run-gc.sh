#!/usr/bin/env bash
# Garbage collection over 100,000 blobs and 10,000 manifests in 100 repositories, a dry run and
# a real run, side by side with `du -sb` over the same tree. Target ratio: at most 3.
#
# Usage: bench/run-gc.sh [ROUNDS]   (default 7 interleaved rounds)
# Environment: BV_BENCH_DIR, the scratch store (default /tmp/bv-gc-bench; made once and kept
# for later runs).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}
dir=${BV_BENCH_DIR:-/tmp/bv-gc-bench}
scripts/deps.sh build
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target gc_bench -j "$(nproc)" >/dev/null
build/bench/bench/gc_bench "$dir" "$rounds"
