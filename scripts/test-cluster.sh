#!/usr/bin/env bash
# Two registry instances over one GlusterFS volume behind HAProxy (deploy/start-cluster.sh):
# concurrent skopeo pushes through HAProxy, pulls back byte for byte through each instance, rounds
# of one image pushed through both instances at once, an upload begun on one instance and
# finished on the other, garbage collection on one host while the other serves, verification
# of the tree; then pushes while one instance is stopped.
# Needs root and FUSE; where either is missing it says SKIPPED and exits 0.
# Environment: BV_CLUSTER_BUILD, build directory with the endpoints and tools (default
# build/linux, built when missing); BV_CLUSTER_PORT (default 5600); BV_CLUSTER_MIB, MiB per
# layer of the failover images (default 8); BV_CLUSTER_FLIPS, rounds of two replaces of one
# tag read meanwhile through the other instance (default 40; a manifest PUT over FUSE with
# every cache off takes a few hundred ms on a busy machine); BV_CLUSTER_TWICE, rounds of one
# image pushed through both instances at once (default 12).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BV_CLUSTER_BUILD:-build/linux}
port=${BV_CLUSTER_PORT:-5600}
fail_mib=${BV_CLUSTER_MIB:-8}
flips=${BV_CLUSTER_FLIPS:-40}
twice=${BV_CLUSTER_TWICE:-12}
export BV_CLUSTER_DIR=${BV_CLUSTER_DIR:-/tmp/bv-cluster-test}
work=$(mktemp -d /tmp/bv-cluster-work.XXXXXX)
started=$(date +%s)

skip() { echo "test-cluster.sh: SKIPPED: $*"; exit 0; }
fail() {
  echo "test-cluster.sh: FAILED: $*" >&2
  # What the instances logged (their programs' standard error included) says why.
  tail -n 20 "$BV_CLUSTER_DIR"/log/lighttpd-*.log >&2 2>/dev/null || true
  exit 1
}
note() { printf '[%3ds] %s\n' $(( $(date +%s) - started )) "$*"; }

[[ $(id -u) -eq 0 ]] || skip "needs root for glusterd and the FUSE mounts"
[[ -c /dev/fuse ]] || skip "no /dev/fuse in this machine"

scripts/deps.sh build server cluster
# start-cluster.sh makes the storage tree on the volume with registry-init.
if [[ ! -x "$build/tools/registry-gc" || ! -x "$build/tools/registry-init" || ! -x "$build/endpoints/v2_uploads" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j "${BV_JOBS:-2}" --target v2_ping v2_blobs v2_uploads v2_manifests \
    v2_tags v2_catalog v2_referrers registry-gc registry-verify registry-init >/dev/null
fi

cleanup() {
  deploy/start-cluster.sh down >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
deploy/start-cluster.sh down >/dev/null 2>&1 || true
set +e
deploy/start-cluster.sh up --port "$port" --bin-dir "$build/endpoints" >"$work/up.log" 2>&1
rc=$?
set -e
if [[ $rc -eq 3 ]]; then
  cat "$work/up.log"
  skip "GlusterFS or FUSE cannot run in this machine (see above)"
fi
[[ $rc -eq 0 ]] || { cat "$work/up.log" >&2; fail "the cluster did not come up"; }
tail -n 1 "$work/up.log"

lb="127.0.0.1:$port"
inst=("127.0.0.1:$((port + 1))" "127.0.0.1:$((port + 2))")
mnt=("$BV_CLUSTER_DIR/mnt/1" "$BV_CLUSTER_DIR/mnt/2")
policy="$work/policy.json"
echo '{"default":[{"type":"insecureAcceptAnything"}]}' >"$policy"
mkdir -p "$work/tmp"
skopeo_() { skopeo --policy "$policy" --tmpdir "$work/tmp" "$@"; }

# image NAME LAYERS KIB SEED: an OCI layout in $work/src/NAME tagged "v1".
image() {
  python3 scripts/make-oci-image.py "$work/src/$1" v1 "$2" "$3" "$4" >"$work/src/$1.digest"
}
# push NAME REPO HOSTPORT [skopeo options]: pushes the image as REPO:v1.
push() {
  local name=$1 repo=$2 at=$3; shift 3
  skopeo_ copy --dest-tls-verify=false --preserve-digests "$@" "oci:$work/src/$name:v1" \
    "docker://$at/$repo:v1" >"$work/push-${repo//\//_}-$BASHPID.log" 2>&1
}
# pull_check NAME REPO HOSTPORT: pulls REPO:v1 back and compares every blob of the source.
pull_check() {
  local name=$1 repo=$2 at=$3 out
  out="$work/pull/${repo//\//_}-${at##*:}"
  rm -rf "$out"
  skopeo_ copy --src-tls-verify=false --preserve-digests "docker://$at/$repo:v1" "oci:$out:v1" \
    >"$out.log" 2>&1 || { cat "$out.log" >&2; fail "pull of $repo from $at"; }
  local blob
  for blob in "$work/src/$name"/blobs/sha256/*; do
    cmp -s "$blob" "$out/blobs/sha256/$(basename "$blob")" \
      || fail "$repo from $at: blob $(basename "$blob") differs or is missing"
  done
  grep -q "$(cat "$work/src/$name.digest")" "$out/index.json" \
    || fail "$repo from $at: another manifest digest"
}

# ---- concurrent pushes through HAProxy
note "making images"
mkdir -p "$work/src" "$work/pull"
for i in 1 2 3 4 5; do image "img$i" 3 $((1024 + 256 * i)) "$i"; done
note "four pushes of different images and two of one image at once, through HAProxy"
pids=()
for i in 1 2 3 4; do push "img$i" "team/app$i" "$lb" & pids+=($!); done
push img5 team/same "$lb" & pids+=($!)
push img5 team/same "$lb" & pids+=($!)
for pid in "${pids[@]}"; do wait "$pid" || { cat "$work"/push-*.log >&2; fail "a concurrent push failed"; }; done
note "pulling every image back through each instance directly"
for i in 1 2 3 4; do
  for at in "${inst[@]}"; do pull_check "img$i" "team/app$i" "$at"; done
done
for at in "${inst[@]}"; do pull_check img5 team/same "$at"; done
note "pulls match byte for byte"

# ---- one image pushed through both instances at once, round after round
# Each round is a new image into a new repository, so both hosts finish the same blobs and make
# the same new directories at the same moment; on GlusterFS such a directory could be gone after
# both mkdirs answered, and a finishing PUT failed with 500 about once in a hundred rounds.
note "$twice rounds of one new image pushed to a new repository through both instances at once"
for r in $(seq "$twice"); do image "twice$r" 2 256 $((100 + r)) & done
wait
for r in $(seq "$twice"); do
  push "twice$r" "team/twice$r" "${inst[0]}" & first=$!
  push "twice$r" "team/twice$r" "${inst[1]}" & second=$!
  wait "$first" && wait "$second" \
    || { cat "$work"/push-team_twice$r-*.log >&2; fail "round $r: a push of one image through both instances at once failed"; }
done
for r in $(seq "$twice"); do pull_check "twice$r" "team/twice$r" "${inst[r % 2]}"; done
"$build/tools/registry-verify" --storage "${mnt[0]}" >"$work/verify0.log" 2>&1 \
  || { cat "$work/verify0.log" >&2; fail "registry-verify found damage after the pushes through both instances"; }
note "every push acknowledged, every image pulled back whole; verification clean"

# ---- an upload begun on one instance and finished on the other
note "upload: POST and PATCH on instance 1, PUT on instance 2"
head -c $((3 << 20)) /dev/urandom >"$work/cross.bin"
cross="sha256:$(sha256sum "$work/cross.bin" | cut -d ' ' -f 1)"
location=$(curl -sf -D - -o /dev/null -X POST -H 'Content-Length: 0' \
  "http://${inst[0]}/v2/team/cross/blobs/uploads/" | tr -d '\r' | sed -n 's/^[Ll]ocation: //p')
[[ -n "$location" ]] || fail "no upload location"
location=${location#http://*/}
location=/${location#/}
head -c $((1 << 20)) "$work/cross.bin" >"$work/cross.1"
tail -c +$(((1 << 20) + 1)) "$work/cross.bin" >"$work/cross.2"
curl -sf -o /dev/null -X PATCH -H 'Content-Type: application/octet-stream' \
  -H "Content-Range: 0-$(((1 << 20) - 1))" --data-binary @"$work/cross.1" "http://${inst[0]}$location" \
  || fail "PATCH on instance 1"
sep='?'; [[ "$location" == *\?* ]] && sep='&'
code=$(curl -s -o "$work/put.out" -w '%{http_code}' -X PUT -H 'Content-Type: application/octet-stream' \
  --data-binary @"$work/cross.2" "http://${inst[1]}$location${sep}digest=$cross")
[[ "$code" == 201 ]] || { cat "$work/put.out" >&2; fail "PUT on instance 2 answered $code"; }
for at in "${inst[@]}"; do
  curl -sf -o "$work/cross.back" "http://$at/v2/team/cross/blobs/$cross" || fail "GET of the blob from $at"
  cmp -s "$work/cross.bin" "$work/cross.back" || fail "the blob from $at differs"
done
note "the upload finished across instances reads back whole through both"

# ---- a tag replaced through one host while the other reads it
note "tag replaced $((2 * flips)) times through instance 1 while instance 2 reads it"
python3 - "$work/src/img1" "$(cat "$work/src/img1.digest")" "$work" <<'PY'
import json, sys
body = json.load(open(f"{sys.argv[1]}/blobs/sha256/{sys.argv[2][7:]}"))
for side in "ab":
    body["annotations"] = {"side": side}
    open(f"{sys.argv[3]}/flip.{side}", "w").write(json.dumps(body, separators=(",", ":")))
PY
mtype=application/vnd.oci.image.manifest.v1+json
curl -sf -o /dev/null -X PUT -H "Content-Type: $mtype" --data-binary @"$work/flip.a" \
  "http://${inst[0]}/v2/team/app1/manifests/flip" || fail "first PUT of the tag"
( for _ in $(seq "$flips"); do
    for side in a b; do
      curl -sf -o /dev/null -X PUT -H "Content-Type: $mtype" --data-binary @"$work/flip.$side" \
        "http://${inst[0]}/v2/team/app1/manifests/flip" || exit 1
    done
  done ) & writer=$!
reads=0 bad=0
while kill -0 "$writer" 2>/dev/null; do
  code=$(curl -s -o "$work/flip.got" -w '%{http_code}' -H "Accept: $mtype" \
    "http://${inst[1]}/v2/team/app1/manifests/flip")
  reads=$((reads + 1))
  if [[ "$code" != 200 ]] || ! { cmp -s "$work/flip.got" "$work/flip.a" || cmp -s "$work/flip.got" "$work/flip.b"; }; then
    bad=$((bad + 1))
    echo "  read $reads: $code $(head -c 200 "$work/flip.got")"
  fi
done
wait "$writer" || fail "a tag replace through instance 1 failed"
[[ $bad -eq 0 ]] || fail "$bad of $reads reads of the tag being replaced failed"
note "$reads reads through instance 2 each found one of the two manifests whole"

# ---- garbage collection on host 1 while host 2 serves
note "garbage collection on host 1 while host 2 takes a push and serves pulls"
orphan_data="$work/orphan.bin"
head -c 65536 /dev/urandom >"$orphan_data"
orphan="sha256:$(sha256sum "$orphan_data" | cut -d ' ' -f 1)"
curl -sf -o /dev/null -X POST -H 'Content-Type: application/octet-stream' --data-binary @"$orphan_data" \
  "http://${inst[1]}/v2/team/orphan/blobs/uploads/?digest=$orphan" || fail "orphan blob push"
# Everything stored so far is old enough for the collector: only references protect it.
find "${mnt[0]}" -exec touch -h -d '3 hours ago' {} +
image img6 2 1536 6
push img6 team/during "${inst[1]}" & during=$!
( for _ in 1 2 3; do for i in 1 2; do pull_check "img$i" "team/app$i" "${inst[1]}"; done; done ) & pulls=$!
"$build/tools/registry-gc" --storage "${mnt[0]}" >"$work/gc.log" 2>&1 || { cat "$work/gc.log" >&2; fail "registry-gc"; }
wait "$during" || { cat "$work"/push-team_during-*.log >&2 2>/dev/null; fail "the push during the collection"; }
wait "$pulls" || fail "a pull during the collection"
sed 's/^/  gc: /' "$work/gc.log"
code=$(curl -s -o /dev/null -w '%{http_code}' "http://${inst[0]}/v2/team/orphan/blobs/$orphan")
[[ "$code" == 404 ]] || fail "the unreferenced blob survived the collection ($code)"
for i in 1 2 3 4; do pull_check "img$i" "team/app$i" "${inst[0]}"; done
pull_check img5 team/same "${inst[1]}"
pull_check img6 team/during "${inst[0]}"
# The blob finished across instances is in no manifest either: it goes too.
code=$(curl -s -o /dev/null -w '%{http_code}' "http://${inst[1]}/v2/team/cross/blobs/$cross")
[[ "$code" == 404 ]] || fail "the unreferenced cross-instance blob survived the collection ($code)"
"$build/tools/registry-verify" --storage "${mnt[1]}" >"$work/verify.log" 2>&1 \
  || { cat "$work/verify.log" >&2; fail "registry-verify found damage"; }
note "collection kept every referenced blob, removed the unreferenced ones; verification clean: $(tail -n 1 "$work/verify.log")"

# ---- one instance stopped while pushes run through HAProxy
note "four pushes through HAProxy of ${fail_mib} MiB layers; instance 2 stopped during them"
for i in 7 8 9 10; do image "img$i" 3 $((fail_mib * 1024)) "$i" & done
wait
pids=()
for i in 7 8 9 10; do push "img$i" "team/fail$i" "$lb" --retry-times 5 & pids+=($!); done
sleep "${BV_CLUSTER_STOP_AFTER:-2}"
# SIGINT: lighttpd stops taking connections and ends when the requests it has are answered.
kill -INT "$(cat "$BV_CLUSTER_DIR/run/lighttpd-2.pid")"
note "instance 2 stopping"
acked=() lost=0
for n in 0 1 2 3; do
  i=$((n + 7))
  if wait "${pids[$n]}"; then
    acked+=("$i")
  else
    echo "  push of img$i failed after its retries:"
    tail -n 3 "$work"/push-team_fail$i-*.log | sed 's/^/    /'
  fi
done
for i in "${acked[@]}"; do pull_check "img$i" "team/fail$i" "${inst[0]}" || lost=$((lost + 1)); done
"$build/tools/registry-verify" --storage "${mnt[0]}" >"$work/verify2.log" 2>&1 \
  || { cat "$work/verify2.log" >&2; fail "registry-verify found damage after the stop"; }
[[ ${#acked[@]} -eq 4 ]] || fail "only ${#acked[@]} of 4 pushes succeeded with one instance stopped"
note "all 4 pushes acknowledged and pulled back whole through instance 1; verification clean"
note "cluster test passed"
