#!/usr/bin/env bash
# Several registry instances over one storage tree on GlusterFS, behind HAProxy, on one machine:
# a single-brick volume on loopback mounted twice (each mount standing for a host), a lighttpd
# per mount, and HAProxy balancing them. Run with --help for the commands and options.
set -euo pipefail

usage() {
  cat <<'TXT'
Usage: deploy/start-cluster.sh up [options] | down | status

  up       builds the endpoint programs (unless --bin-dir), starts glusterd bound to 127.0.0.1,
           makes a one-brick volume with the client caches off, mounts it twice through FUSE,
           starts one lighttpd of the registry per mount (ports PORT+1, PORT+2, ...; each with
           its mount as storage root) and HAProxy on PORT, round-robin with health checks on
           /v2/. Returns once every part answers; everything runs in the background.
  down     stops all of it, unmounts, deletes the volume and removes the state directory.
  status   says what runs and asks each instance and HAProxy for /v2/.

Options of up:
  --port N        HAProxy's port (default 5000, or $BV_PORT); instance k listens on N+k
  --instances K   lighttpd instances, one mount each (default 2)
  --bin-dir DIR   use the endpoint programs in DIR instead of building build/release
                  (registry-init, which makes the storage tree, is taken from DIR/../tools)
  --no-sendfile   the blob program streams blob bodies itself (no X-Sendfile)
  --storage DIR   no GlusterFS: every instance serves DIR (a local directory, or a shared
                  file system mounted already); for comparisons with a local disk

Environment: BV_CLUSTER_DIR, state directory (default /tmp/bv-cluster: brick, mounts, logs,
pid files, configurations); BV_GLUSTER_HOST, brick host name (default bv-gluster; added to
/etc/hosts as 127.0.0.1 when missing, as the glusterd CLI refuses 127.0.0.1 and localhost).
Needs root (FUSE mounts, glusterd). Exit status 3: FUSE or GlusterFS cannot run here.
TXT
}

repo=$(cd "$(dirname "$0")/.." && pwd)
state=${BV_CLUSTER_DIR:-/tmp/bv-cluster}
host=${BV_GLUSTER_HOST:-bv-gluster}
volume=bvregistry
hosts_mark="# bv-cluster"
gsock="$state/glusterd.socket"
gcli() { gluster --mode=script --glusterd-sock="$gsock" "$@"; }
say() { echo "start-cluster.sh: $*" >&2; }
alive() { [[ -f "$1" ]] && kill -0 "$(cat "$1")" 2>/dev/null; }

# Stops the process a pid file names and waits (up to 5 s) for it to go.
stop_pid() {
  local file=$1 pid
  [[ -f "$file" ]] || return 0
  pid=$(cat "$file")
  if kill "$pid" 2>/dev/null; then
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

wait_http() {
  for _ in $(seq 100); do
    curl -sf -o /dev/null --max-time 2 "$1" && return 0
    sleep 0.1
  done
  return 1
}

# Each instance's storage root: its own mount of the volume, or the one --storage directory.
mount_dir() {
  if [[ -f "$state/run/storage" ]]; then cat "$state/run/storage"; else echo "$state/mnt/$1"; fi
}

# Starts glusterd, makes and starts the volume and mounts it once per instance (count: $1).
up_gluster() {
  # The CLI wants a brick host that is neither 127.0.0.1 nor localhost but resolves to this
  # machine; the line added goes again with down.
  if ! getent hosts "$host" | grep -q '^127\.'; then
    echo "127.0.0.1 $host $hosts_mark" >>/etc/hosts
  fi

  # glusterd with its own working directory and socket, so that nothing of a glusterd the
  # machine may run is touched; it listens on loopback only.
  cat >"$state/glusterd.vol" <<VOL
volume management
    type mgmt/glusterd
    option working-directory $state/glusterd
    option glusterd-sockfile $gsock
    option transport-type socket
    option transport.socket.bind-address 127.0.0.1
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
    option max-port 60999
end-volume
VOL
  glusterd -f "$state/glusterd.vol" -p "$state/glusterd.pid" -l "$state/log/glusterd.log" \
    || { say "glusterd did not start (see $state/log/glusterd.log)"; exit 3; }
  for _ in $(seq 100); do gcli peer status >/dev/null 2>&1 && break; sleep 0.1; done
  gcli peer status >/dev/null || { say "glusterd does not answer"; exit 3; }

  # A brick needs extended attributes (trusted.*) on its file system; where the volume
  # cannot be made or started, GlusterFS cannot run on this machine.
  local out
  out=$(gcli volume create "$volume" "$host:$state/brick" force 2>&1) \
    || { say "cannot create the volume: $out"; exit 3; }
  # Every client-side cache off: a second host must see replaces and removals at once.
  for option in quick-read stat-prefetch open-behind write-behind flush-behind io-cache \
                read-ahead readdir-ahead; do
    gcli volume set "$volume" "performance.$option" off >/dev/null
  done
  out=$(gcli volume start "$volume" 2>&1) || { say "cannot start the volume: $out"; exit 3; }

  # The mount helper mangles --fopen-keep-cache=off, so the client runs directly; the kernel
  # keeps no attributes, entries or negative lookups either.
  local k dir option
  for k in $(seq "$1"); do
    dir=$(mount_dir "$k")
    mkdir -p "$dir"
    glusterfs --volfile-server="$host" --volfile-id="$volume" \
      --attribute-timeout=0 --entry-timeout=0 --negative-timeout=0 --fopen-keep-cache=off \
      --log-file="$state/log/mount-$k.log" --pid-file="$state/run/mount-$k.pid" "$dir" \
      || { say "mount $k failed (see $state/log/mount-$k.log)"; exit 3; }
  done
  for _ in $(seq 100); do mountpoint -q "$(mount_dir "$1")" && break; sleep 0.1; done
  mountpoint -q "$(mount_dir 1)" || { say "the volume did not mount"; exit 3; }
  # The tree is made once, through one mount, on the volume itself: an instance whose mount is
  # missing finds no tree at its mount point and refuses requests rather than storing pushes
  # on the local disk.
  "$registry_init" --storage "$(mount_dir 1)" >/dev/null
}

cmd_up() {
  local port=${BV_PORT:-5000} instances=2 bin_dir="" sendfile=1 storage=""
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --port) port=${2:?--port needs a value}; shift 2 ;;
      --instances) instances=${2:?--instances needs a value}; shift 2 ;;
      --bin-dir) bin_dir=${2:?--bin-dir needs a value}; shift 2 ;;
      --no-sendfile) sendfile=0; shift ;;
      --storage) storage=${2:?--storage needs a value}; shift 2 ;;
      -h|--help) usage; exit 0 ;;
      *) say "unknown option '$1'"; usage >&2; exit 2 ;;
    esac
  done
  [[ "$port" =~ ^[0-9]+$ ]] && (( port > 0 && port + instances < 65536 )) || { say "bad port '$port'"; exit 2; }
  [[ "$instances" =~ ^[0-9]+$ ]] && (( instances >= 1 && instances <= 8 )) || { say "bad instance count '$instances'"; exit 2; }
  [[ $(id -u) -eq 0 ]] || { say "needs root (glusterd, FUSE mounts)"; exit 3; }
  [[ -e "$state/run/ports" || -e "$state/glusterd.pid" ]] && { say "already up (state in $state); run down first"; exit 1; }

  "$repo/scripts/deps.sh" build server cluster
  [[ -c /dev/fuse ]] || { say "no /dev/fuse: FUSE mounts cannot work here"; exit 3; }
  if [[ -z "$bin_dir" ]]; then
    local build="$repo/build/release"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" >/dev/null
    bin_dir="$build/endpoints"
  fi
  bin_dir=$(cd "$bin_dir" && pwd)
  [[ -x "$bin_dir/v2_ping" ]] || { say "no endpoint programs in $bin_dir"; exit 1; }
  # The commands are built beside the endpoint programs.
  registry_init="$bin_dir/../tools/registry-init"
  [[ -x "$registry_init" ]] || { say "no registry-init beside $bin_dir (in ../tools)"; exit 1; }

  mkdir -p "$state"/{glusterd,brick,log,run}
  trap '[[ -n "${up_done:-}" ]] || { say "up failed; tearing down"; cmd_down >/dev/null 2>&1 || true; }' EXIT
  if [[ -n "$storage" ]]; then
    "$registry_init" --storage "$storage" >/dev/null
    storage=$(cd "$storage" && pwd)
    echo "$storage" >"$state/run/storage"
  else
    up_gluster "$instances"
  fi


  # One lighttpd per mount. Spool and document root are per host: they hold nothing of a
  # request beyond its own life, everything an upload needs later is in the tree.
  local conf="$state/lighttpd-run.conf"
  echo "include \"$repo/deploy/lighttpd.conf\"" >"$conf"
  for k in $(seq "$instances"); do
    mkdir -p "$state/host-$k"/{spool,docroot}
    env BV_PORT=$((port + k)) BV_BIND=127.0.0.1 BV_X_SENDFILE=$sendfile \
      BV_BIN_DIR="$bin_dir" BV_DEPLOY_DIR="$repo/deploy" BV_DOC_ROOT="$state/host-$k/docroot" \
      BV_SPOOL_DIR="$state/host-$k/spool" REGISTRY_STORAGE_ROOT="$(mount_dir "$k")" \
      setsid lighttpd -D -f "$conf" >"$state/log/lighttpd-$k.log" 2>&1 </dev/null &
    echo $! >"$state/run/lighttpd-$k.pid"
  done

  # Round-robin with a health check on /v2/; a request whose connection fails goes to
  # another instance. No stickiness: an upload's whole state is in the tree.
  {
    cat <<CFG
global
    maxconn 512
defaults
    mode http
    timeout connect 2s
    timeout client 10m
    timeout server 10m
    timeout http-request 30s
    retries 3
    option redispatch 1
    # Only a request that never reached an instance goes to another: one cut short after
    # it arrived may have taken effect (a finished upload), and a second try would be refused.
    retry-on conn-failure
frontend registry
    bind 127.0.0.1:$port
    default_backend instances
backend instances
    balance roundrobin
    option httpchk GET /v2/
    http-check expect status 200
CFG
    for k in $(seq "$instances"); do
      echo "    server host$k 127.0.0.1:$((port + k)) check inter 500ms fall 2 rise 1"
    done
  } >"$state/haproxy.cfg"
  haproxy -f "$state/haproxy.cfg" -D -p "$state/run/haproxy.pid" >"$state/log/haproxy.log" 2>&1

  for k in $(seq "$instances"); do
    wait_http "http://127.0.0.1:$((port + k))/v2/" || { say "instance $k does not answer (see $state/log/lighttpd-$k.log)"; exit 1; }
  done
  wait_http "http://127.0.0.1:$port/v2/" || { say "HAProxy does not answer"; exit 1; }
  echo "$port $instances" >"$state/run/ports"
  up_done=1
  echo "Registry on http://127.0.0.1:$port/v2/ (HAProxy) over $instances instances on ports $((port + 1))-$((port + instances)); storage: ${storage:-GlusterFS volume $volume, mounted at $state/mnt/*}"
}

cmd_down() {
  [[ -d "$state" ]] || { echo "nothing to stop"; return 0; }
  stop_pid "$state/run/haproxy.pid"
  local f dir
  for f in "$state"/run/lighttpd-*.pid; do [[ -e "$f" ]] && stop_pid "$f"; done
  for dir in "$state"/mnt/*; do
    [[ -d "$dir" ]] || continue
    mountpoint -q "$dir" && { umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null || true; }
  done
  for f in "$state"/run/mount-*.pid; do [[ -e "$f" ]] && stop_pid "$f"; done
  if alive "$state/glusterd.pid"; then
    gcli volume stop "$volume" force >/dev/null 2>&1 || true
    gcli volume delete "$volume" >/dev/null 2>&1 || true
  fi
  stop_pid "$state/glusterd.pid"
  # Brick processes left by a glusterd that died before it could stop the volume.
  for f in "$state"/glusterd/vols/"$volume"/run/*.pid /var/run/gluster/vols/"$volume"/*.pid; do
    [[ -e "$f" ]] && stop_pid "$f"
  done
  sed -i "/ $hosts_mark\$/d" /etc/hosts 2>/dev/null || true
  rm -rf "$state"
  echo "cluster stopped"
}

cmd_status() {
  [[ -f "$state/run/ports" ]] || { echo "not running"; return 1; }
  local port instances k code rc=0
  read -r port instances <"$state/run/ports"
  alive "$state/glusterd.pid" && echo "glusterd: running" || { echo "glusterd: down"; rc=1; }
  for k in $(seq "$instances"); do
    mountpoint -q "$(mount_dir "$k")" && echo "mount $k: $(mount_dir "$k")" || { echo "mount $k: missing"; rc=1; }
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$((port + k))/v2/" || true)
    echo "instance $k (port $((port + k))): /v2/ answers $code"
    [[ "$code" == 200 ]] || rc=1
  done
  code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$port/v2/" || true)
  echo "HAProxy (port $port): /v2/ answers $code"
  [[ "$code" == 200 ]] || rc=1
  return $rc
}

case "${1:-}" in
  up) shift; cmd_up "$@" ;;
  down) cmd_down ;;
  status) cmd_status ;;
  -h|--help) usage ;;
  *) usage >&2; exit 2 ;;
esac
