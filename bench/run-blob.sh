#!/usr/bin/env bash
# The blob store's bulk paths against their floors, on one disk: finishing a 1 GiB upload
# against sha256_file of the same file (target: at most 1.1 times), and appending the 1 GiB in
# 8 MiB chunks against `dd bs=8M conv=notrunc oflag=append` (target: at most 1.25 times).
#
# Usage: bench/run-blob.sh [RUNS]   (default 5 runs of each, alternating; the best run counts)
# Environment: BV_BENCH_DIR, the scratch directory on the disk to measure (default
# /tmp/bv-blob-bench, emptied afterwards); BV_BENCH_MIB, the upload size (1024).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
dir=${BV_BENCH_DIR:-/tmp/bv-blob-bench}
mib=${BV_BENCH_MIB:-1024}

scripts/deps.sh build
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target blob_bench -j "$(nproc)" >/dev/null

echo "Disk: $(df -h --output=source,fstype "$(dirname "$dir")" | tail -n 1)"
echo "Load average before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
build/bench/bench/blob_bench "$dir" "$mib" "$runs" 8
echo "Load average after:  $(cut -d ' ' -f 1-3 /proc/loadavg)"
