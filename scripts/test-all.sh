#!/usr/bin/env bash
# Builds and runs every test: the normal build (its integration suites once more with the programs
# as FastCGI applications), the web page in headless Chromium, the GlusterFS cluster test, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the fuzzers for a bounded time, and the
# Windows build under Wine with the Wine-served registry.
# Environment: BV_FUZZ_SECONDS (default 20) per fuzzer; BV_JOBS (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${BV_JOBS:-$(nproc)}
fuzz_seconds=${BV_FUZZ_SECONDS:-20}

scripts/deps.sh build server access apache fuzz windows

step() { printf '\n==== %s\n' "$*"; }

build_and_test() {  # NAME CMAKE_ARGS...
  local dir="build/$1"; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

step "Linux build and tests"
build_and_test linux

# The same integration suites (HTTP and clients, under lighttpd and Apache) with the programs as
# FastCGI applications; those that run the programs directly or choose a mode are left out.
step "Integration suites with the programs as FastCGI applications"
BV_TEST_SERVER_MODE=fastcgi ctest --test-dir build/linux --output-on-failure -j "$jobs" -L integration \
  -E '^(UploadLimits|IisConfig|FastcgiLoad|FastcgiProcesses|SlowClients|ApacheEnvironment|Wine[A-Za-z]*|Setups/ModeParity)\.'

step "Web page in headless Chromium"
BV_WEBUI_BUILD=build/linux BV_JOBS=$jobs scripts/test-webui.sh

step "Two instances over GlusterFS behind HAProxy"
BV_CLUSTER_BUILD=build/linux BV_JOBS=$jobs scripts/test-cluster.sh

step "Linux build and tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test sanitize -DBV_SANITIZE=ON

step "Fuzzers, ${fuzz_seconds}s each"
cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_FUZZ=ON -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
for fuzzer in build/fuzz/fuzz/*_fuzz; do
  [[ -x "$fuzzer" ]] || continue
  name=$(basename "$fuzzer")
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [[ -d "fuzz/seeds/$name" ]] && seeds=("fuzz/seeds/$name")
  echo "-- $name"
  log="build/fuzz/$name.log"
  if ! (cd build/fuzz && "$root/$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
          "$root/$corpus" "${seeds[@]/#/$root/}" >"$root/$log" 2>&1); then
    tail -n 40 "$log"
    echo "fuzzer $name found a failure" >&2
    exit 1
  fi
  tail -n 1 "$log"
done

if [[ -x scripts/test-windows.sh ]]; then
  step "Windows build and tests under Wine"
  scripts/test-windows.sh
fi

step "All test steps passed"
