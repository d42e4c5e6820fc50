#!/usr/bin/env bash
# Start-up benchmark of the ping endpoint: v2_ping against a static C program writing the
# same bytes, RUNS process starts each (default 2000). Target ratio: at most 1.15.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-2000}
scripts/deps.sh build
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target v2_ping ping_baseline ping_bench -j "$(nproc)" >/dev/null
build/bench/bench/ping_bench build/bench/endpoints/v2_ping build/bench/bench/ping_baseline "$runs"
