#!/usr/bin/env bash
# Small requests through lighttpd: blob HEAD at 8 concurrent keep-alive connections (ab; wrk
# waits for a body after a HEAD answer that announces one), against a trivial static C CGI
# program (ping_baseline) under the same lighttpd. Target: at least 0.9 of its request rate.
#
# Usage: bench/run-small.sh [SECONDS] [RUNS]   (default 10 s per run, 3 rounds alternating;
# the best run counts). Environment: see bench/endpoint-bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
runs=${2:-3}
source bench/endpoint-bench.sh
bench_start

printf 'a small blob for HEAD\n' >"$bench_dir/small"
digest="sha256:$(openssl dgst -sha256 -r "$bench_dir/small" | cut -d ' ' -f 1)"
bench_push "$bench_dir/small" "$digest"

declare -A url=([baseline]="$bench_url/bench/trivial" [blob]="$bench_url/v2/bench/blobs/$digest")
declare -A best=([baseline]=0 [blob]=0)
for kind in baseline blob; do
  [[ $(curl -s -o /dev/null -w '%{http_code}' -I "${url[$kind]}") == 200 ]] || { echo "$kind: no 200" >&2; exit 1; }
done
for _ in $(seq "$runs"); do
  for kind in baseline blob; do
    rate=$(ab -q -i -k -c 8 -t "$seconds" -n 10000000 "${url[$kind]}" 2>/dev/null |
      awk '/^Requests per second:/ {print $4}')
    best[$kind]=$(bench_max "${best[$kind]}" "$rate")
  done
done
echo "HEAD at 8 connections, ${seconds} s per run, best of $runs:"
echo "  trivial static C CGI:        ${best[baseline]} requests/s"
echo "  blob HEAD (v2_blobs):        ${best[blob]} requests/s   ratio $(echo "scale=3; ${best[blob]} / ${best[baseline]}" | bc -l) (target >= 0.9)"
