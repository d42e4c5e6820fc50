#!/usr/bin/env bash
# Builds the endpoint programs and serves the registry through lighttpd in the foreground.
# Ctrl-C stops it. Run with --help for the options.
set -euo pipefail

usage() {
  cat <<'TXT'
Usage: deploy/start-registry.sh [--port N] [--bind ADDR] [--storage DIR] [--no-sendfile]

Builds every endpoint program (Release) and runs lighttpd in the foreground, serving the
registry API on http://ADDR:PORT/v2/. Missing Debian packages are installed when run as root.

  --port N        port to listen on (default 5000, or $BV_PORT)
  --bind ADDR     address to listen on (default 127.0.0.1)
  --storage DIR   storage root handed to the endpoints as REGISTRY_STORAGE_ROOT
                  (default: ./registry_storage in the directory the command runs in)
  --no-sendfile   the blob program streams blob bodies itself instead of handing the
                  file to lighttpd (X-Sendfile, the default)
  -h, --help      show this text
TXT
}

port=${BV_PORT:-5000}
bind=127.0.0.1
storage="$PWD/registry_storage"
sendfile=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --port) port=${2:?--port needs a value}; shift 2 ;;
    --bind) bind=${2:?--bind needs a value}; shift 2 ;;
    --storage) storage=${2:?--storage needs a value}; shift 2 ;;
    --no-sendfile) sendfile=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "start-registry.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
[[ "$port" =~ ^[0-9]+$ ]] && (( port > 0 && port < 65536 )) || { echo "start-registry.sh: bad port '$port'" >&2; exit 2; }

repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/deps.sh" build server

build="$repo/build/release"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF >/dev/null
# With tests and benchmarks off, the default target is the modules and every endpoint program.
cmake --build "$build" -j "$(nproc)" >/dev/null

# lighttpd takes in chunked request bodies whole before a program sees them; they wait in
# the spool directory. X-Sendfile wants the storage root as an absolute path.
mkdir -p "$storage/blobs" "$build/docroot" "$build/spool"
export REGISTRY_STORAGE_ROOT=$(cd "$storage" && pwd)
export BV_PORT=$port BV_BIND=$bind BV_X_SENDFILE=$sendfile
export BV_BIN_DIR="$build/endpoints" BV_DEPLOY_DIR="$repo/deploy" BV_DOC_ROOT="$build/docroot"
export BV_SPOOL_DIR="$build/spool"

# The configuration lighttpd runs: the project's own, then one optional piece of deploy/ per
# switch that needs one (each piece reads its settings from BV_* variables set above).
pieces=()
run_conf="$build/lighttpd-run.conf"
{
  echo "include \"$repo/deploy/lighttpd.conf\""
  for piece in "${pieces[@]}"; do echo "include \"$repo/deploy/$piece\""; done
} >"$run_conf"

echo "Registry on http://$bind:$port/v2/ (storage: $REGISTRY_STORAGE_ROOT); Ctrl-C stops it."
exec lighttpd -D -f "$run_conf"
