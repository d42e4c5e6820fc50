# The body of bench/run-sha256.sh and bench/run-sha512.sh, sourced by them (not run on its
# own) with their arguments, after they set:
#   hash          sha256 or sha512: names the bench program (<hash>_bench), the system's
#                 tool (<hash>sum), the openssl digest (-<hash>) and the scratch directory
#   hex_len       the digest's length in hex digits
#   fast          the --impl name of the accelerated path, timed against openssl
#   fast_missing  why a ratio prints "n/a" when this CPU cannot run that path
#   cpu_flags     the /proc/cpuinfo flags worth showing
# What it measures and prints: see either script.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
runs=${1:-5}
dir=${BV_BENCH_DIR:-/tmp/bv-$hash-bench}
mib=${BV_BENCH_MIB:-1024}

scripts/deps.sh build bench
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target "${hash}_bench" -j "$(nproc)" >/dev/null
bench=build/bench/bench/${hash}_bench

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
for f in $cpu_flags; do
  [[ " $flags " == *" $f "* ]] && offered+=("$f")
done
echo "CPU: ${cpu:-unknown}, $(nproc) cores; flags of interest: ${offered[*]:-none}"
echo "Tools: $(openssl version | head -n 1); $("${hash}sum" --version | head -n 1)"
echo "Load average before: $(cut -d ' ' -f 1-3 /proc/loadavg)"

fast_ok=1
"$bench" --impl "$fast" /dev/null >/dev/null 2>&1 || fast_ok=0

# All four must agree on the digest before anything is timed.
expected=$("${hash}sum" "$file" | cut -c "1-$hex_len")
check() {  # NAME DIGEST
  if [[ "$2" != "$expected" ]]; then
    echo "$(basename "$0"): $1 gives $2, ${hash}sum $expected" >&2
    exit 1
  fi
}
check openssl "$(openssl dgst "-$hash" -r "$file" | cut -c "1-$hex_len")"
check portable "$("$bench" --impl portable "$file" | cut -c "1-$hex_len")"
((fast_ok)) && check "$fast" "$("$bench" --impl "$fast" "$file" | cut -c "1-$hex_len")"
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
  ((fast_ok)) && pair "$run" "$fast" "$fast" openssl openssl dgst "-$hash" "$file"
  pair "$run" portable portable "${hash}sum" "${hash}sum" "$file"
done
echo "Load average after:  $(cut -d ' ' -f 1-3 /proc/loadavg)"

echo
echo "Seconds per run over $mib MiB: best wall-clock (its throughput), best CPU (user + system),"
echo "then the wall-clock time of every run in order:"
for name in "$fast" openssl portable "${hash}sum"; do
  [[ -n "${best[$name]:-}" ]] || continue
  mbs=$(awk -v s="${best[$name]}" -v n="$bytes" 'BEGIN { printf "%.0f", n / s / 1e6 }')
  printf '  %-10s wall %6s s (%5s MB/s)  cpu %6s s   runs:%s\n' "$name" "${best[$name]}" "$mbs" \
    "${best_cpu[$name]}" "${all[$name]}"
done

ratio() {  # OURS THEIRS TARGET LABEL
  if [[ -z "${best[$1]:-}" ]]; then
    printf '  %-36s n/a (%s)\n' "$4" "$fast_missing"
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
ratio "$fast" openssl 0.85 "$fast path / openssl dgst -$hash"
ratio portable "${hash}sum" 0.90 "portable path / ${hash}sum"
