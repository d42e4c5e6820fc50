#!/usr/bin/env bash
# Pushing a blob through lighttpd: 1 GiB pushed with curl in one POST (?digest=) and as
# POST + one PATCH + PUT, the upload program run as CGI and as a FastCGI application under the
# same lighttpd, against curl uploading the same file to a static C CGI program that only
# copies its body to a file on the same disk. Target: at most 1.25 times its time. The same
# two pushes as CGI by a sha512 digest (the chunked one declaring ?digest-algorithm=sha512, so
# that the appends hash as they go) are set against their sha256 forms.
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
bench_start fastcgi
if [[ ${BV_BENCH_DURABLE:-1} == 0 ]]; then
  echo '{"durableWrites": false}' >"$REGISTRY_STORAGE_ROOT/config.json"
fi

file="$bench_dir/files/blob"
digest=$(bench_make_file "$file" "$mib")
hex=${digest#sha256:}
digest512="sha512:$(openssl dgst -sha512 -r "$file" | cut -d ' ' -f 1)"
hex512=${digest512#sha512:}

baseline() {
  curl -sf -o /dev/null -H 'Expect:' -X POST -T "$file" "$bench_url/bench/copy"
}
# The pushes through PREFIX: "" for the CGI programs, /fcgi for the FastCGI ones. The Location
# the upload program answers names the /v2/ path, so the prefix goes before it.
push_one() {  # PREFIX [DIGEST]
  curl -sf -o /dev/null -H 'Expect:' -X POST -T "$file" "$bench_url$1/v2/bench/blobs/uploads?digest=${2:-$digest}"
}
push_chunked() {  # PREFIX [DIGEST [QUERY OF THE POST]]
  local location
  location=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$bench_url$1/v2/bench/blobs/uploads/${3:-}" |
    tr -d '\r' | sed -n 's/^Location: //Ip')
  [[ $location == /v2/* ]] || { echo "no upload location: '$location'" >&2; return 1; }
  curl -sf -o /dev/null -H 'Expect:' -X PATCH -T "$file" "$bench_url$1$location"
  curl -sf -o /dev/null -X PUT -H 'Content-Length: 0' "$bench_url$1$location?digest=${2:-$digest}"
}
monolithic() { push_one ""; }
chunked() { push_chunked ""; }
fcgi_monolithic() { push_one /fcgi; }
fcgi_chunked() { push_chunked /fcgi; }
sha512_monolithic() { push_one "" "$digest512"; }
sha512_chunked() { push_chunked "" "$digest512" "?digest-algorithm=sha512"; }
# Each push starts from a store without the blob, as the copy starts without its file.
forget() {
  rm -rf "$REGISTRY_STORAGE_ROOT/blobs/sha256/${hex:0:2}" "$REGISTRY_STORAGE_ROOT/blobs/sha512/${hex512:0:2}" \
    "$REGISTRY_STORAGE_ROOT/repositories" "$BV_BENCH_COPY"
  sync
}
stored() {  # KIND: the blob the push should have stored is there
  case $1 in
    baseline) true ;;
    sha512_*) [[ -f "$REGISTRY_STORAGE_ROOT/blobs/sha512/${hex512:0:2}/$hex512" ]] ;;
    *) [[ -f "$REGISTRY_STORAGE_ROOT/blobs/sha256/${hex:0:2}/$hex" ]] ;;
  esac
}

kinds=(baseline monolithic chunked fcgi_monolithic fcgi_chunked sha512_monolithic sha512_chunked)
declare -A best=()
for _ in $(seq "$runs"); do
  for kind in "${kinds[@]}"; do
    forget
    t=$(bench_time "$kind")
    best[$kind]=$(bench_min ${best[$kind]:-} "$t")
    stored "$kind" || { echo "$kind: the push stored no blob" >&2; exit 1; }
  done
done
echo "Pushing a $mib MiB blob, best of $runs:"
echo "  copy-only CGI baseline:          ${best[baseline]} s"
line() {  # LABEL KIND
  echo "  $1${best[$2]} s   ratio $(echo "scale=3; ${best[$2]} / ${best[baseline]}" | bc -l) (target <= 1.25)"
}
line "CGI, one POST (?digest=):        " monolithic
line "CGI, POST + PATCH + PUT:         " chunked
line "FastCGI, one POST (?digest=):    " fcgi_monolithic
line "FastCGI, POST + PATCH + PUT:     " fcgi_chunked
echo "The same pushes (CGI) by a sha512 digest, against the sha256 push:"
against() {  # LABEL KIND SHA256-KIND
  echo "  $1${best[$2]} s   ratio $(echo "scale=3; ${best[$2]} / ${best[$3]}" | bc -l)"
}
against "one POST (?digest=sha512:...):   " sha512_monolithic monolithic
against "POST + PATCH + PUT:              " sha512_chunked chunked
