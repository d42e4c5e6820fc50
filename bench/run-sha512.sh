#!/usr/bin/env bash
# Throughput of sha512_file, side by side with the system's tools on one page-cached 1 GiB file
# of random bytes: the AVX2 path (what the dispatch picks where the CPU has AVX2 and BMI2)
# against `openssl dgst -sha512` (target: at least 0.85 of its throughput) and the portable path
# against `sha512sum` (target: at least 0.9).
#
# Usage: bench/run-sha512.sh [RUNS]   (default 5 runs of each program, alternating)
# Environment: BV_BENCH_DIR, the scratch directory for the file (default /tmp/bv-sha512-bench;
# the file is made once and kept there for later runs); BV_BENCH_MIB, the file size (1024).
#
# The steps are bench/hash-bench-common.sh's, shared with run-sha256.sh. Every run is one
# process over the whole file, timed from outside the same way for all four programs; the ratio
# is throughput ours / theirs from the best run of each (the machine may be shared, and the best
# run is the one least disturbed), with the ratio of the best CPU times (user + system) beside
# it. A ratio printed as "n/a" means this CPU lacks AVX2 or BMI2, so only the portable path was
# measured.
set -euo pipefail
hash=sha512
hex_len=128
fast=avx2
fast_missing="no AVX2 or BMI2 on this CPU"
cpu_flags="avx avx2 bmi1 bmi2 avx512f sha512"
# shellcheck source=bench/hash-bench-common.sh
source "$(dirname "$0")/hash-bench-common.sh" "$@"
