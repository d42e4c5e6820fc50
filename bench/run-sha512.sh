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
# Every run is one process over the whole file, timed from outside the same way for all four
# programs; the ratio is throughput ours / theirs from the best run of each (the machine may be
# shared, and the best run is the one least disturbed), with the ratio of the best CPU times
# (user + system) beside it. A ratio printed as "n/a" means this CPU lacks AVX2 or BMI2, so
# only the portable path was measured.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
dir=${BV_BENCH_DIR:-/tmp/bv-sha512-bench}
mib=${BV_BENCH_MIB:-1024}

scripts/deps.sh build bench
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target sha512_bench -j "$(nproc)" >/dev/null
bench=build/bench/bench/sha512_bench

mkdir -p "$dir"
file="$dir/random-${mib}MiB.bin"
bytes=$((mib * 1024 * 1024))
if [[ ! -f "$file" || $(stat -c %s "$file") -ne $bytes ]]; then
  echo "Making $file ($mib MiB of random bytes)"
  head -c "$bytes" /dev/urandom >"$file.tmp"
  mv "$file.tmp" "$file"
fi
cat "$file" >/dev/null  # into the page cache before any timing

# The CPU and what it offers.
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
flags=$(sed -n 's/^flags[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
offered=()
for f in avx avx2 bmi1 bmi2 avx512f sha512; do
  [[ " $flags " == *" $f "* ]] && offered+=("$f")
done
echo "CPU: ${cpu:-unknown}, $(nproc) cores; flags of interest: ${offered[*]:-none}"
echo "Tools: $(openssl version | head -n 1); $(sha512sum --version | head -n 1)"
echo "Load average before: $(cut -d ' ' -f 1-3 /proc/loadavg)"

avx2=1
"$bench" --impl avx2 /dev/null >/dev/null 2>&1 || avx2=0

# All four must agree on the digest before anything is timed.
expected=$(sha512sum "$file" | cut -c 1-128)
check() {  # NAME DIGEST
  if [[ "$2" != "$expected" ]]; then
    echo "run-sha512.sh: $1 gives $2, sha512sum $expected" >&2
    exit 1
  fi
}
check openssl "$(openssl dgst -sha512 -r "$file" | cut -c 1-128)"
check portable "$("$bench" --impl portable "$file" | cut -c 1-128)"
((avx2)) && check avx2 "$("$bench" --impl avx2 "$file" | cut -c 1-128)"
echo "Digests agree: $expected"

# One run: wall-clock seconds, and the CPU seconds (user + system) the process used, which a
# busy machine disturbs less (time spent waiting for a core is not counted).
declare -A best=() all=() best_cpu=()
time_one() {  # NAME COMMAND...
  local name=$1; shift
  local TIMEFORMAT='%R %U %S' out real user sys
  out=$({ time "$@" >/dev/null 2>&1; } 2>&1)
  read -r real user sys <<<"$out"
  local cpu
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')
  all[$name]+=" $real"
  if [[ -z "${best[$name]:-}" ]] || awk -v a="$real" -v b="${best[$name]}" 'BEGIN { exit !(a < b) }'; then
    best[$name]=$real
  fi
  if [[ -z "${best_cpu[$name]:-}" ]] || awk -v a="$cpu" -v b="${best_cpu[$name]}" 'BEGIN { exit !(a < b) }'; then
    best_cpu[$name]=$cpu
  fi
}

pair() {  # the two programs of one comparison, in alternating order from run to run
  local run=$1 ours_name=$2 ours_impl=$3 theirs_name=$4; shift 4
  if ((run % 2)); then
    time_one "$ours_name" "$bench" --impl "$ours_impl" "$file"
    time_one "$theirs_name" "$@"
  else
    time_one "$theirs_name" "$@"
    time_one "$ours_name" "$bench" --impl "$ours_impl" "$file"
  fi
}

for ((run = 1; run <= runs; run++)); do
  ((avx2)) && pair "$run" avx2 avx2 openssl openssl dgst -sha512 "$file"
  pair "$run" portable portable sha512sum sha512sum "$file"
done
echo "Load average after:  $(cut -d ' ' -f 1-3 /proc/loadavg)"

echo
echo "Seconds per run over $mib MiB: best wall-clock (its throughput), best CPU (user + system),"
echo "then the wall-clock time of every run in order:"
for name in avx2 openssl portable sha512sum; do
  [[ -n "${best[$name]:-}" ]] || continue
  mbs=$(awk -v s="${best[$name]}" -v n="$bytes" 'BEGIN { printf "%.0f", n / s / 1e6 }')
  printf '  %-10s wall %6s s (%5s MB/s)  cpu %6s s   runs:%s\n' "$name" "${best[$name]}" "$mbs" \
    "${best_cpu[$name]}" "${all[$name]}"
done

ratio() {  # OURS THEIRS TARGET LABEL
  if [[ -z "${best[$1]:-}" ]]; then
    printf '  %-36s n/a (no AVX2 or BMI2 on this CPU)\n' "$4"
    return
  fi
  awk -v o="${best[$1]}" -v t="${best[$2]}" -v oc="${best_cpu[$1]}" -v tc="${best_cpu[$2]}" \
      -v target="$3" -v label="$4" 'BEGIN {
    r = t / o
    printf "  %-36s %.3f  (target >= %.2f: %s; by CPU time %.3f)\n", label, r, target,
           (r >= target ? "met" : "NOT met"), tc / oc
  }'
}
echo
echo "Throughput ratios, ours / theirs (best wall-clock runs):"
ratio avx2 openssl 0.85 "avx2 path / openssl dgst -sha512"
ratio portable sha512sum 0.90 "portable path / sha512sum"
