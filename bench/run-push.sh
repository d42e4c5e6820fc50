#!/usr/bin/env bash
# Pushing a blob through lighttpd: 1 GiB pushed with curl in one POST (?digest=) and as
# POST + one PATCH + PUT, against curl uploading the same file to a static C CGI program that
# only copies its body to a file on the same disk. Target: at most 1.25 times its time.
#
# Usage: bench/run-push.sh [RUNS]   (default 5 rounds, alternating; the best run counts)
# Environment: BV_BENCH_MIB, the blob size (1024); BV_BENCH_DURABLE=0 turns the storage's
# durable writes off, as the copy makes no flush either (default: the storage's default, on);
# see bench/endpoint-bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
mib=${BV_BENCH_MIB:-1024}
source bench/endpoint-bench.sh
bench_start
if [[ ${BV_BENCH_DURABLE:-1} == 0 ]]; then
  echo '{"durableWrites": false}' >"$REGISTRY_STORAGE_ROOT/config.json"
fi

file="$bench_dir/files/blob"
digest=$(bench_make_file "$file" "$mib")
hex=${digest#sha256:}

baseline() {
  curl -sf -o /dev/null -H 'Expect:' -X POST -T "$file" "$bench_url/bench/copy"
}
monolithic() { bench_push "$file" "$digest"; }
chunked() {
  local location
  location=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$bench_url/v2/bench/blobs/uploads/" |
    tr -d '\r' | sed -n 's/^Location: //Ip')
  curl -sf -o /dev/null -H 'Expect:' -X PATCH -T "$file" "$bench_url$location"
  curl -sf -o /dev/null -X PUT -H 'Content-Length: 0' "$bench_url$location?digest=$digest"
}
# Each push starts from a store without the blob, as the copy starts without its file.
forget() { rm -rf "$REGISTRY_STORAGE_ROOT/blobs/sha256/${hex:0:2}" "$REGISTRY_STORAGE_ROOT/repositories" "$BV_BENCH_COPY"; sync; }

declare -A best=([baseline]= [monolithic]= [chunked]=)
for _ in $(seq "$runs"); do
  for kind in baseline monolithic chunked; do
    forget
    t=$(bench_time "$kind")
    best[$kind]=$(bench_min ${best[$kind]} "$t")
  done
  [[ -f "$REGISTRY_STORAGE_ROOT/blobs/sha256/${hex:0:2}/$hex" ]] || { echo "the push stored no blob" >&2; exit 1; }
done
echo "Pushing a $mib MiB blob, best of $runs:"
echo "  copy-only CGI baseline:      ${best[baseline]} s"
echo "  one POST (?digest=):         ${best[monolithic]} s   ratio $(echo "scale=3; ${best[monolithic]} / ${best[baseline]}" | bc -l) (target <= 1.25)"
echo "  POST + PATCH + PUT:          ${best[chunked]} s   ratio $(echo "scale=3; ${best[chunked]} / ${best[baseline]}" | bc -l) (target <= 1.25)"
