#!/usr/bin/env bash
# Memory of long-lived FastCGI processes: lighttpd runs one process per endpoint program
# (max-procs 1, never recycled) and a mix of requests goes to them at once: manifest GET by
# tag, manifest GET of an unknown tag (404), blob HEAD, tag list, and a refused method on /v2/
# (405, the answer that ends the request through oci_send_error). After 1k, 10k, 50k and 100k
# requests of each kind, every process's VmRSS and VmHWM are read from /proc/<pid>/status.
# Fails when a process was replaced, an answer was not the expected one, or a process's VmRSS
# grew by more than the bound from the 10k sample to the last.
#
# Usage: bench/run-fastcgi-memory.sh [REQUESTS]   (per kind, default 100000; the samples are
# taken at 1%, 10%, 50% and 100% of it)
# Environment: BV_MEMORY_BOUND_KIB, the growth allowed (default 1024); see
# bench/endpoint-bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-100000}
bound=${BV_MEMORY_BOUND_KIB:-1024}
export BV_FASTCGI_PROCS=1 BV_FASTCGI_MAX_REQUESTS=0
source bench/endpoint-bench.sh
bench_start fastcgi

"$bench_build/bench/manifest_seed" "$REGISTRY_STORAGE_ROOT" bench/app latest >/dev/null
printf 'a small blob for HEAD\n' >"$bench_dir/small"
digest="sha256:$(openssl dgst -sha256 -r "$bench_dir/small" | cut -d ' ' -f 1)"
bench_push "$bench_dir/small" "$digest"

# kind: ab method switch, path under /fcgi, expected status, program serving it.
kinds=(manifest unknown blob tags refused)
declare -A how=(
  [manifest]="GET   /v2/bench/app/manifests/latest 200 v2_manifests"
  [unknown]="GET    /v2/bench/app/manifests/missing 404 v2_manifests"
  [blob]="HEAD      /v2/bench/blobs/$digest 200 v2_blobs"
  [tags]="GET       /v2/bench/app/tags/list 200 v2_tags"
  [refused]="DELETE /v2/ 405 v2_ping"
)
programs=(v2_manifests v2_blobs v2_tags v2_ping)

for kind in "${kinds[@]}"; do
  read -r method path status _ <<<"${how[$kind]}"
  flag=(-X "$method"); [[ $method == HEAD ]] && flag=(-I)
  got=$(curl -s -o /dev/null -w '%{http_code}' "${flag[@]}" "$bench_fcgi_url$path")
  [[ $got == "$status" ]] || { echo "$kind: $method $path answered $got, not $status" >&2; exit 1; }
done

declare -A pid=()
for program in "${programs[@]}"; do pid[$program]=$(bench_pid_of "$program"); done

# COUNT requests of KIND over two kept connections; every answer must carry the kind's status.
drive() {  # KIND COUNT
  local method path status out done bad args=(-q -k -c 2 -n "$2")
  read -r method path status _ <<<"${how[$1]}"
  case $method in HEAD) args+=(-i) ;; GET) ;; *) args+=(-m "$method") ;; esac
  out=$(ab "${args[@]}" "$bench_fcgi_url$path" 2>&1) || { echo "$1: ab failed: $out" >&2; return 1; }
  done=$(awk '/^Complete requests:/ {print $3}' <<<"$out")
  bad=$(awk '/^Non-2xx responses:/ {print $3}' <<<"$out")
  [[ $status == 2* ]] && bad=${bad:-0} || bad=$(( $2 - ${bad:-0} ))
  if [[ $done != "$2" || $bad != 0 ]] || ! grep -q '^Failed requests: *0$' <<<"$out"; then
    echo "$1: $done of $2 complete, $bad answers not $status:" >&2; echo "$out" >&2; return 1
  fi
}
field() { awk -v f="$2:" '$1 == f {print $2}' "/proc/$1/status"; }  # PID VmRSS|VmHWM, in kB

checkpoints=($(( total / 100 )) $(( total / 10 )) $(( total / 2 )) "$total")
declare -A rss=() hwm=()
echo "Load before: $(uptime)"
sent=0
for point in "${checkpoints[@]}"; do
  jobs=()
  for kind in "${kinds[@]}"; do drive "$kind" $(( point - sent )) & jobs+=($!); done
  for job in "${jobs[@]}"; do wait "$job"; done
  sent=$point
  for program in "${programs[@]}"; do
    now=$(bench_pid_of "$program")
    [[ $now == "${pid[$program]}" ]] || { echo "$program: process ${pid[$program]} was replaced by $now" >&2; exit 1; }
    rss[$program,$point]=$(field "$now" VmRSS)
    hwm[$program,$point]=$(field "$now" VmHWM)
  done
done
echo "Load after:  $(uptime)"

printf '\nVmRSS in KiB after N requests of each of %d kinds (%s), one process per program:\n' \
  "${#kinds[@]}" "${kinds[*]}"
printf '%-14s' program; for point in "${checkpoints[@]}"; do printf '%10s' "$point"; done
printf '%10s %14s %14s\n' VmHWM "growth from 1%" "from 10%"
failed=0
first=${checkpoints[0]} second=${checkpoints[1]}
for program in "${programs[@]}"; do
  printf '%-14s' "$program"
  for point in "${checkpoints[@]}"; do printf '%10s' "${rss[$program,$point]}"; done
  growth=$(( rss[$program,$total] - rss[$program,$second] ))
  printf '%10s %14s %14s' "${hwm[$program,$total]}" "$(( rss[$program,$total] - rss[$program,$first] ))" "$growth"
  if (( growth > bound )); then printf '   grew more than %d KiB' "$bound"; failed=1; fi
  printf '\n'
done
(( failed == 0 )) && echo "Every process stayed within $bound KiB from the 10% sample on."
exit "$failed"
