#!/usr/bin/env bash
# What durable writes cost: a 1 GiB blob pushed in one POST (?digest=) and as a POST then one
# PUT with the body, and 1,000 manifests pushed by tag one after another, each through lighttpd
# with the storage's "durableWrites" on and off (config.json), alternating; the ratios durable
# on / off are printed.
#
# Usage: bench/run-durability.sh [RUNS]   (default 3 rounds; the best run of each side counts)
# Environment: BV_BENCH_MIB, the blob size (1024); BV_BENCH_MANIFESTS, how many manifests
# (1000); see bench/endpoint-bench.sh for the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
mib=${BV_BENCH_MIB:-1024}
count=${BV_BENCH_MANIFESTS:-1000}
source bench/endpoint-bench.sh
bench_start
cmake --build "$bench_build" --target v2_manifests -j 2 >/dev/null

# The switch: every request's program reads config.json afresh.
durability() {  # on|off
  local value=true
  [[ $1 == off ]] && value=false
  printf '{"durableWrites": %s}\n' "$value" >"$REGISTRY_STORAGE_ROOT/config.json"
}

file="$bench_dir/files/blob"
digest=$(bench_make_file "$file" "$mib")
hex=${digest#sha256:}
# POST to start, then the whole body in the PUT that finishes the upload.
push_put() {
  local location
  location=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' "$bench_url/v2/bench/blobs/uploads/" |
    tr -d '\r' | sed -n 's/^Location: //Ip')
  curl -sf -o /dev/null -H 'Expect:' -X PUT -T "$1" "$bench_url$location?digest=$2"
}
forget_blob() { rm -rf "$REGISTRY_STORAGE_ROOT/blobs/sha256/${hex:0:2}" "$REGISTRY_STORAGE_ROOT/repositories"; sync; }

# The manifests' config and layer, pushed once; then one curl walks every manifest in turn
# over one connection, so that what is measured is the registry's part.
make_manifests() {
  local cfg layer cfg_digest layer_digest
  cfg="$bench_dir/files/config.json"; layer="$bench_dir/files/layer"
  echo '{"architecture":"amd64","os":"linux"}' >"$cfg"
  head -c 4096 /dev/urandom >"$layer"
  cfg_digest="sha256:$(openssl dgst -sha256 -r "$cfg" | cut -d ' ' -f 1)"
  layer_digest="sha256:$(openssl dgst -sha256 -r "$layer" | cut -d ' ' -f 1)"
  bench_push "$cfg" "$cfg_digest"
  bench_push "$layer" "$layer_digest"
  mkdir -p "$bench_dir/manifests"
  : >"$bench_dir/manifests.curl"
  for i in $(seq "$count"); do
    printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip","digest":"%s","size":4096}],"annotations":{"n":"%d"}}' \
      "$cfg_digest" "$(stat -c %s "$cfg")" "$layer_digest" "$i" >"$bench_dir/manifests/$i.json"
    printf 'url = "%s/v2/bench/manifests/t%d"\nupload-file = "%s"\noutput = "/dev/null"\n' \
      "$bench_url" "$i" "$bench_dir/manifests/$i.json" >>"$bench_dir/manifests.curl"
  done
}
push_manifests() {
  curl -sf -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' -H 'Expect:' \
    --config "$bench_dir/manifests.curl"
}
forget_manifests() { rm -rf "$REGISTRY_STORAGE_ROOT/repositories/bench/_manifests"; sync; }

declare -A best=([blob_on]= [blob_off]= [put_on]= [put_off]= [man_on]= [man_off]=)
for _ in $(seq "$runs"); do
  for mode in on off; do
    for push in blob:bench_push put:push_put; do
      durability "$mode"
      forget_blob
      t=$(bench_time "${push#*:}" "$file" "$digest")
      [[ -f "$REGISTRY_STORAGE_ROOT/blobs/sha256/${hex:0:2}/$hex" ]] || { echo "the push stored no blob" >&2; exit 1; }
      best[${push%%:*}_$mode]=$(bench_min ${best[${push%%:*}_$mode]} "$t")
    done
  done
done

durability on
forget_blob
make_manifests
for _ in $(seq "$runs"); do
  for mode in on off; do
    durability "$mode"
    forget_manifests
    t=$(bench_time push_manifests)
    tags=$(find "$REGISTRY_STORAGE_ROOT/repositories/bench/_manifests/tags" -name link | wc -l)
    [[ $tags == "$count" ]] || { echo "$tags of $count tags stored" >&2; exit 1; }
    best[man_$mode]=$(bench_min ${best[man_$mode]} "$t")
  done
done

ratio() { echo "scale=3; $1 / $2" | bc -l; }
echo "Durable writes on against off, best of $runs:"
echo "  $mib MiB blob, one POST:       on ${best[blob_on]} s, off ${best[blob_off]} s   ratio durable on / off $(ratio "${best[blob_on]}" "${best[blob_off]}")"
echo "  $mib MiB blob, POST + PUT:     on ${best[put_on]} s, off ${best[put_off]} s   ratio durable on / off $(ratio "${best[put_on]}" "${best[put_off]}")"
echo "  $count manifests by tag:      on ${best[man_on]} s, off ${best[man_off]} s   ratio durable on / off $(ratio "${best[man_on]}" "${best[man_off]}")"
echo "  per manifest:                 on $(echo "scale=2; ${best[man_on]} * 1000 / $count" | bc -l) ms, off $(echo "scale=2; ${best[man_off]} * 1000 / $count" | bc -l) ms"
