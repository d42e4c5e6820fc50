#!/usr/bin/env bash
# Pulling a blob through lighttpd: GET of a 1 GiB blob into /dev/null with curl, the body sent
# by lighttpd from the blob file (X-Sendfile, the default) and by the blob program itself, the
# program run as CGI and as a FastCGI application under the same lighttpd, against lighttpd
# serving the same file as a static file. Targets, against the static file's throughput: at
# least 0.95 with X-Sendfile, at least 0.7 with the program streaming (CGI: the kernel moves the
# file into lighttpd's pipe; FastCGI: whole records from a narrowed send buffer, see cgi/).
#
# Usage: bench/run-pull.sh [RUNS]   (default 5 rounds, alternating; the best run counts)
# Environment: BV_BENCH_MIB, the blob size (1024); see bench/endpoint-bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
mib=${BV_BENCH_MIB:-1024}
source bench/endpoint-bench.sh
bench_start fastcgi

digest=$(bench_make_file "$bench_dir/blob" "$mib")
bench_push "$bench_dir/blob" "$digest"
rm -f "$bench_dir/blob"
hex=${digest#sha256:}
ln -s "$REGISTRY_STORAGE_ROOT/blobs/sha256/${hex:0:2}/$hex" "$BV_BENCH_FILES/$hex"

declare -A url=(
  [static]="$bench_url/bench/static/$hex"
  [sendfile]="$bench_url/v2/bench/blobs/$digest"
  [program]="$bench_url/bench/stream/v2/bench/blobs/$digest"
  [fcgi_sendfile]="$bench_fcgi_url/v2/bench/blobs/$digest"
  [fcgi_program]="$bench_fcgi_url/stream/v2/bench/blobs/$digest"
)
kinds=(static sendfile program fcgi_sendfile fcgi_program)
declare -A best
for kind in "${kinds[@]}"; do
  size=$(curl -sf -o /dev/null -w '%{size_download}' "${url[$kind]}")
  [[ "$size" -eq $(( mib << 20 )) ]] || { echo "$kind: got $size bytes" >&2; exit 1; }
  best[$kind]=
done
for _ in $(seq "$runs"); do
  for kind in "${kinds[@]}"; do
    speed=$(curl -sf -o /dev/null -w '%{speed_download}' "${url[$kind]}")
    best[$kind]=$(bench_max ${best[$kind]} "$speed")
  done
done
mbps() { echo "scale=1; $1 / 1048576" | bc -l; }
echo "GET of a $mib MiB blob into /dev/null, best of $runs:"
echo "  lighttpd static file:        $(mbps "${best[static]}") MiB/s"
line() {  # LABEL KIND TARGET
  echo "  $1$(mbps "${best[$2]}") MiB/s   ratio $(echo "scale=3; ${best[$2]} / ${best[static]}" | bc -l) (target >= $3)"
}
line "CGI, X-Sendfile:             " sendfile 0.95
line "CGI, program streaming:      " program 0.7
line "FastCGI, X-Sendfile:         " fcgi_sendfile 0.95
line "FastCGI, program streaming:  " fcgi_program 0.7
