#!/usr/bin/env bash
# Small requests at 8 concurrent connections under one lighttpd: manifest GET by tag (wrk) and
# blob HEAD (ab; wrk waits for a body after a HEAD answer that announces one), each served by
# the endpoint program as CGI, by the same program as a FastCGI application, and by the FastCGI
# floor (bench/fcgi_floor.c, a trivial libfcgi responder). Target: FastCGI reaches at least 0.75
# of the floor's rate.
#
# Usage: bench/run-fastcgi.sh [SECONDS] [ROUNDS]   (default 5 s per run, 5 rounds; the three
# sides run in turn within a round, in a rotating order). The rates printed are each side's
# median; the ratios are the medians of each round's own ratios, which a machine whose load
# drifts from round to round disturbs less.
# Environment: BV_FASTCGI_PROCS, processes per FastCGI program (2); see bench/endpoint-bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
rounds=${2:-5}
source bench/endpoint-bench.sh
bench_start fastcgi

"$bench_build/bench/manifest_seed" "$REGISTRY_STORAGE_ROOT" bench/app latest >/dev/null
printf 'a small blob for HEAD\n' >"$bench_dir/small"
digest="sha256:$(openssl dgst -sha256 -r "$bench_dir/small" | cut -d ' ' -f 1)"
bench_push "$bench_dir/small" "$digest"

sides=(cgi fastcgi floor)
declare -A url=(
  [get_cgi]="$bench_url/v2/bench/app/manifests/latest"
  [get_fastcgi]="$bench_fcgi_url/v2/bench/app/manifests/latest"
  [get_floor]="$bench_fcgi_url/floor"
  [head_cgi]="$bench_url/v2/bench/blobs/$digest"
  [head_fastcgi]="$bench_fcgi_url/v2/bench/blobs/$digest"
  [head_floor]="$bench_fcgi_url/floor"
)

# The head of an answer without the lines that differ from one answer to the next.
# (curl -X HEAD would wait for the body the head announces; -I does not.)
answer() {  # METHOD URL
  if [[ $1 == HEAD ]]; then
    curl -s -I "$2" | tr -d '\r' | grep -v '^Date: '
  else
    curl -s -D - -o "$bench_dir/answer.body" "$2" | tr -d '\r' | grep -v '^Date: '
    cat "$bench_dir/answer.body"
  fi
}
# A benchmark of error answers measures nothing: every side must answer 200, and the FastCGI
# program exactly what the CGI one answers, but for Accept-Ranges, which lighttpd adds to an
# answer that reached it whole before it sent the head (a matter of timing, in either mode).
for test in GET:get HEAD:head; do
  method=${test%%:*}; kind=${test#*:}
  for side in "${sides[@]}"; do
    status=$(answer "$method" "${url[${kind}_$side]}" | awk 'NR == 1 {print $2}')
    [[ $status == 200 ]] || { echo "$method ${url[${kind}_$side]}: $status, not 200" >&2; exit 1; }
  done
  cgi=$(answer "$method" "${url[${kind}_cgi]}")
  fcgi=$(answer "$method" "${url[${kind}_fastcgi]}")
  if [[ $(grep -v '^Accept-Ranges: ' <<<"$cgi") != "$(grep -v '^Accept-Ranges: ' <<<"$fcgi")" ]]; then
    echo "$method: the FastCGI answer differs from the CGI one:" >&2
    diff <(echo "$cgi") <(echo "$fcgi") >&2 || true
    exit 1
  fi
  [[ $cgi == "$fcgi" ]] || { echo "$method: FastCGI and CGI answers differ in Accept-Ranges only:"; diff <(echo "$cgi") <(echo "$fcgi") | sed 's/^/  /' || true; }
done

# Requests per second of one run, how many answers were not 200 or failed (counted, shown, and
# failing the benchmark at the end: a process being replaced must lose none) and how many
# requests were answered.
rate() {  # get|head URL SECONDS
  local out
  if [[ $1 == get ]]; then
    out=$(wrk -t 2 -c 8 -d "${3}s" "$2")
    awk '/^Requests\/sec:/ {r = $2} / requests in / {n = $1} /Non-2xx or 3xx responses:/ {e += $NF}
         /Socket errors:/ {gsub(/,/, ""); e += $4 + $6 + $8 + $10} END {print r, e + 0, n}' <<<"$out"
  else
    out=$(ab -q -i -k -c 8 -t "$3" -n 10000000 "$2" 2>&1)
    awk '/^Requests per second:/ {r = $4} /^Complete requests:/ {n = $3} /^Non-2xx responses:/ {e += $3}
         /^Failed requests:/ {e += $3} END {print r, e + 0, n}' <<<"$out"
  fi
}
# CPU clock ticks spent so far by lighttpd itself and by the FastCGI side under it: the
# fastcgi-run.sh processes, the programs they run and those they have reaped (the CGI
# programs lighttpd reaps are left out). A busy machine changes the request rates far more
# than what a request costs.
ticks() {
  cat /proc/[0-9]*/stat 2>/dev/null | awk -v top="$bench_pid" '
    {parent[$1] = $4; own[$1] = $14 + $15; reaped[$1] = $16 + $17}
    END {
      total = own[top]
      for (p in parent)
        if (parent[p] == top || parent[parent[p]] == top) total += own[p] + reaped[p]
      print total
    }' || true
}
hz=$(getconf CLK_TCK)
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

echo "Load before: $(uptime)"
for kind in get head; do
  for side in "${sides[@]}"; do rate "$kind" "${url[${kind}_$side]}" 1 >/dev/null; done  # warm-up
done
ratio() { python3 -c "print(f'{$1 / $2:.3f}')"; }
declare -A runs=() errors=() ratios=() this=() cpu_ticks=() cpu_requests=()
for round in $(seq "$rounds"); do
  for kind in get head; do
    line="round $round $kind:"
    for i in 0 1 2; do
      side=${sides[$(( (i + round) % 3 ))]}
      t0=$(ticks)
      read -r r e n < <(rate "$kind" "${url[${kind}_$side]}" "$seconds")
      if [[ $side != cgi ]]; then
        cpu_ticks[${kind}_$side]=$(( ${cpu_ticks[${kind}_$side]:-0} + $(ticks) - t0 ))
        cpu_requests[${kind}_$side]=$(( ${cpu_requests[${kind}_$side]:-0} + n ))
      fi
      runs[${kind}_$side]+=" $r"
      this[$side]=$r
      errors[${kind}_$side]=$(( ${errors[${kind}_$side]:-0} + e ))
      line+=$(printf '  %s %9.1f' "$side" "$r")
      (( e == 0 )) || line+=" ($e not 200)"
    done
    echo "$line"
    ratios[${kind}_cgi]+=" $(ratio "${this[fastcgi]}" "${this[cgi]}")"
    ratios[${kind}_floor]+=" $(ratio "${this[fastcgi]}" "${this[floor]}")"
  done
done
echo "Load after:  $(uptime)"

verdict() { python3 -c "print('met' if $1 >= 0.75 else 'NOT met')"; }
printf '\n%-36s %12s %12s %12s\n' "8 connections, median of $rounds x ${seconds} s" "CGI" "FastCGI" "floor"
for kind in get head; do
  declare -A med=()
  for side in "${sides[@]}"; do
    # shellcheck disable=SC2086
    med[$side]=$(median ${runs[${kind}_$side]})
  done
  label="GET manifest by tag (wrk), req/s"
  [[ $kind == head ]] && label="HEAD blob (ab), req/s"
  printf '%-36s %12.1f %12.1f %12.1f\n' "$label" "${med[cgi]}" "${med[fastcgi]}" "${med[floor]}"
  # shellcheck disable=SC2086
  f_floor=$(median ${ratios[${kind}_floor]})
  # shellcheck disable=SC2086
  printf '  ratios: FastCGI / CGI %.3f, FastCGI / floor %.3f (target >= 0.75: %s); rounds:%s\n' \
    "$(median ${ratios[${kind}_cgi]})" "$f_floor" "$(verdict "$f_floor")" "${ratios[${kind}_floor]}"
  python3 -c "
f = ${cpu_ticks[${kind}_fastcgi]} * 1e6 / $hz / ${cpu_requests[${kind}_fastcgi]}
b = ${cpu_ticks[${kind}_floor]} * 1e6 / $hz / ${cpu_requests[${kind}_floor]}
print(f'  CPU per request, lighttpd + application: FastCGI {f:.0f} us, floor {b:.0f} us; floor / FastCGI {b / f:.3f}')"
done

failed=0
for key in "${!errors[@]}"; do
  if (( errors[$key] > 0 )); then
    echo "${key/_/ }: ${errors[$key]} answers not 200 over all rounds" >&2
    failed=1
  fi
done
exit "$failed"
