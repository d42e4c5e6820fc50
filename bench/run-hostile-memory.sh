#!/usr/bin/env bash
# Peak memory of the endpoint programs under hostile input, through the real web server: one
# FastCGI process per program (never recycled) answers manifest PUTs of 4 MiB built to swell a
# parser (nesting, a flat array of two million numbers, one string, tiny objects, members with
# distinct names), a manifest whose annotation takes almost the whole 4 MiB, a tag list page of
# 5,000 long tags, the catalog, `last` values no name can be, and the referrers of a subject
# with 5,000 signatures and that large manifest among them, every page followed. Before each
# input the program's peak resident memory is reset (/proc/<pid>/clear_refs), after it VmHWM is
# read. Fails when an answer is not the expected one, a process was replaced, the referrer walk
# missed a referrer, or a peak passes the bound.
#
# Usage: bench/run-hostile-memory.sh
# Environment: BV_MEMORY_BOUND_MIB, the bound (default 32); BV_HOSTILE_REFERRERS, the small
# signatures (default 5000); see bench/endpoint-bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bound_kib=$(( ${BV_MEMORY_BOUND_MIB:-32} * 1024 ))
signatures=${BV_HOSTILE_REFERRERS:-5000}
export BV_FASTCGI_PROCS=1 BV_FASTCGI_MAX_REQUESTS=0
source bench/endpoint-bench.sh
bench_start fastcgi
# Seeding writes thousands of manifests; flushing each would only slow the set-up.
sed -i 's/"durableWrites": *true/"durableWrites": false/' "$REGISTRY_STORAGE_ROOT/config.json"

url=$bench_fcgi_url
oci_manifest=application/vnd.oci.image.manifest.v1+json
files=$bench_dir/files
max=$(( 4 << 20 ))

# The subject, and the empty config every artifact names.
subject=$("$bench_build/bench/manifest_seed" "$REGISTRY_STORAGE_ROOT" bench latest)
subject_size=$(curl -sf "$url/v2/bench/manifests/latest" | wc -c)
printf '{}' >"$files/empty"
empty="sha256:$(openssl dgst -sha256 -r "$files/empty" | cut -d ' ' -f 1)"
bench_push "$files/empty" "$empty"

# An artifact of TYPE whose subject is the seeded manifest, with the annotations object ANN.
artifact() {  # TYPE ANN
  printf '{"schemaVersion":2,"mediaType":"%s","artifactType":"%s","config":{"mediaType":"application/vnd.oci.empty.v1+json","digest":"%s","size":2},"layers":[],"subject":{"mediaType":"%s","digest":"%s","size":%s},"annotations":%s}' \
    "$oci_manifest" "$1" "$empty" "$oci_manifest" "$subject" "$subject_size" "$2"
}

# Bodies: each fills 4 MiB less a few bytes for its frame. fill CHAR [UNIT]: the byte CHAR, or
# UNIT in its place (UNIT starting with CHAR), as often as fits.
fill() {
  local unit=${2:-$1}
  head -c "$(( (max - 64) / ${#unit} ))" /dev/zero | tr '\0' "$1" | if (( $# > 1 )); then sed "s/$1/$2/g"; else cat; fi
}
{ printf '{"schemaVersion":2,"x":'; fill '['; } >"$files/nested"
{ printf '{"schemaVersion":2,"x":[1'; fill , ,1; printf ']}'; } >"$files/numbers"
{ printf '{"schemaVersion":2,"x":"'; fill a; printf '"}'; } >"$files/string"
{ printf '{"schemaVersion":2,"x":[{}'; fill , ,{}; printf ']}'; } >"$files/objects"
awk -v n=$(( (max - 64) / 14 )) 'BEGIN { printf "{\"schemaVersion\":2"; for (i = 0; i < n; i++) printf ",\"m%07d\":0", i; printf "}" }' >"$files/members"
big_note=$(( max - 1024 ))
artifact application/vnd.example.big "{\"note\":\"$(head -c "$big_note" /dev/zero | tr '\0' 'b')\"}" >"$files/big"
big="sha256:$(openssl dgst -sha256 -r "$files/big" | cut -d ' ' -f 1)"
for f in nested numbers string objects members big; do
  size=$(stat -c %s "$files/$f")
  (( size <= max )) || { echo "$f: $size bytes, over the manifest limit" >&2; exit 1; }
done

declare -A pid=()
programs=(v2_manifests v2_tags v2_catalog v2_referrers)
for program in "${programs[@]}"; do pid[$program]=$(bench_pid_of "$program"); done

failed=0
printf '%-13s %-52s %6s %10s\n' program input answer 'peak KiB'
# PROGRAM LABEL EXPECTED-STATUS CURL-ARGS...: resets the program's peak, sends the request,
# checks the answer and prints the peak against the bound.
measure() {
  local program=$1 label=$2 expected=$3 now status peak mark=''
  shift 3
  now=$(bench_pid_of "$program")
  [[ $now == "${pid[$program]}" ]] || { echo "$program: process ${pid[$program]} was replaced by $now" >&2; exit 1; }
  echo 5 >"/proc/$now/clear_refs"
  status=$(curl -s -o "$files/answer" -w '%{http_code}' "$@")
  peak=$(awk '$1 == "VmHWM:" {print $2}' "/proc/$now/status")
  [[ $status == "$expected" ]] || { mark=" answered, not $expected"; failed=1; }
  (( peak <= bound_kib )) || { mark+=" over $bound_kib KiB"; failed=1; }
  printf '%-13s %-52s %6s %10s%s\n' "$program" "$label" "$status" "$peak" "$mark"
}
put() { measure v2_manifests "$1" "$2" -X PUT -H "Content-Type: $oci_manifest" --data-binary "@$files/$3" "$url/v2/bench/manifests/$4"; }

put 'PUT 4 MiB of nested [' 400 nested hostile
put 'PUT a flat array of 2 million numbers' 400 numbers hostile
put 'PUT one string of 4 MiB' 400 string hostile
put 'PUT 1.4 million empty objects' 400 objects hostile
put 'PUT 300,000 members of distinct names' 400 members hostile
put 'PUT a referrer with a 4 MiB annotation' 201 big "$big"

# Tags of 120 bytes, so that a page of 5,000 is as large as a page gets; and as many signatures
# of the seeded manifest. One curl sends them all over one connection.
long_tag=$(head -c 110 /dev/zero | tr '\0' t)
mkdir -p "$files/sigs"
awk -v n="$signatures" -v dir="$files/sigs" -v head="$(artifact application/vnd.example.sig '{"n":"@"}')" '
  BEGIN { for (i = 0; i < n; i++) { body = head; sub(/@/, i, body); printf "%s", body > (dir "/" i); close(dir "/" i) } }'
for (( i = 0; i < signatures; i++ )); do
  (( i == 0 )) || echo next
  printf 'url = "%s/v2/bench/manifests/%s%09d"\nrequest = "PUT"\ndata-binary = "@%s"\n' \
    "$url" "$long_tag" "$i" "$files/sigs/$i"
  printf 'header = "Content-Type: %s"\noutput = "/dev/null"\nwrite-out = "%%{http_code}\\n"\n' "$oci_manifest"
done >"$files/seed.curl"
seeded=$(curl -s -K "$files/seed.curl" | grep -c '^201$' || true)
(( seeded == signatures )) || { echo "seeding: $seeded of $signatures manifests stored" >&2; exit 1; }

no_name=$(head -c 4000 /dev/zero | tr '\0' a)
measure v2_tags 'GET a tag list page of 5,000 tags of 120 bytes' 200 "$url/v2/bench/tags/list?n=5000"
measure v2_tags 'GET the tag list after a last of 4,000 bytes' 400 "$url/v2/bench/tags/list?last=$no_name"
measure v2_catalog 'GET the catalog, n=5000' 200 "$url/v2/_catalog?n=5000"
measure v2_catalog 'GET the catalog after a last of 4,000 bytes' 400 "$url/v2/_catalog?last=$no_name"

# Every page of the referrers, each measured; the walk must see every referrer once.
pages=0 seen=0 query='' big_seen=0
while :; do
  measure v2_referrers "GET referrers page $(( pages + 1 ))" 200 -D "$files/head" "$url/v2/bench/referrers/$subject$query"
  pages=$(( pages + 1 ))
  seen=$(( seen + $(grep -o '"digest":"sha256:[0-9a-f]*","size"' "$files/answer" | wc -l) ))
  grep -q "$big" "$files/answer" && big_seen=1
  link=$(tr -d '\r' <"$files/head" | sed -n 's/^[Ll]ink: <[^?]*\(?[^>]*\)>; rel="next"$/\1/p')
  [[ -n $link && $pages -lt 1000 ]] || break
  query=$link
done
(( seen == signatures + 1 && big_seen == 1 )) || { echo "the referrer walk saw $seen of $(( signatures + 1 )) referrers" >&2; failed=1; }
measure v2_referrers 'GET referrers filtered to the 4 MiB one' 200 "$url/v2/bench/referrers/$subject?artifactType=application/vnd.example.big"

(( failed == 0 )) && echo "Every answer as expected, every peak within $bound_kib KiB ($pages referrers pages, $seen referrers)."
exit "$failed"
