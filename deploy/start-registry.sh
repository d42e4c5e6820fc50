#!/usr/bin/env bash
# Builds the endpoint programs and serves the registry through lighttpd in the foreground.
# Ctrl-C stops it. Run with --help for the options.
set -euo pipefail

usage() {
  cat <<'TXT'
Usage: deploy/start-registry.sh [--port N] [--bind ADDR] [--storage DIR] [--cgi] [--no-sendfile]
         [--htpasswd FILE [--anonymous-pull]] [--access-file FILE] [--read-only] [--no-delete]
         [--tls-cert FILE --tls-key FILE] [--windows]

Builds every endpoint program (Release) and runs lighttpd in the foreground, serving the
registry API on http://ADDR:PORT/v2/. Missing Debian packages are installed when run as root.
The programs run as FastCGI applications: lighttpd starts each one once and it serves many
requests (REGISTRY_FASTCGI_MAX_REQUESTS of them, default 10000, "0" no limit, before a fresh
process takes over; BV_FASTCGI_PROCS processes per program, default 4, and
BV_FASTCGI_TRANSFER_PROCS, default 32, for uploads and blob downloads the program streams, so
that slow clients never hold the processes small requests need).

  --port N        port to listen on (default 5000, or $BV_PORT)
  --bind ADDR     address to listen on (default 127.0.0.1)
  --storage DIR   storage root handed to the endpoints as REGISTRY_STORAGE_ROOT
                  (default: ./registry_storage in the directory the command runs in);
                  the storage tree is made there by registry-init when it is missing
  --cgi           plain CGI instead: one process per request, as the same programs also run
  --no-sendfile   the blob program streams blob bodies itself instead of handing the
                  file to lighttpd (X-Sendfile, the default)
  --htpasswd FILE     every request needs an HTTP basic login checked against FILE
                      (make it with: htpasswd -B -c FILE USER)
  --anonymous-pull    with --htpasswd: reads need no login, writes and deletes do
                      (/v2/ still asks for one, so clients know where to log in)
  --access-file FILE  which users may read and push to which repositories (see README)
  --read-only         every write and delete answers 405 UNSUPPORTED
  --no-delete         deletes of blobs and manifests answer 405 UNSUPPORTED
  --tls-cert FILE     serve HTTPS with this PEM certificate (chain) ...
  --tls-key FILE      ... and this PEM private key; both or neither
  --windows           serve the Windows (mingw-w64) build of the programs through Wine
                      (blob bodies are streamed by the program, as with --no-sendfile;
                      the programs run as CGI)
  -h, --help      show this text
TXT
}

port=${BV_PORT:-5000}
bind=127.0.0.1
storage="$PWD/registry_storage"
sendfile=1
cgi=0
windows=0 htpasswd="" anonymous_pull=0 access_file="" read_only="" delete_enabled="" tls_cert="" tls_key=""
# An absolute path to a readable file, or the script stops naming the option.
readable() {
  [[ -f "$2" && -r "$2" ]] || { echo "start-registry.sh: $1: cannot read '$2'" >&2; exit 2; }
  echo "$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
}
while [[ $# -gt 0 ]]; do
  case "$1" in
    --port) port=${2:?--port needs a value}; shift 2 ;;
    --bind) bind=${2:?--bind needs a value}; shift 2 ;;
    --storage) storage=${2:?--storage needs a value}; shift 2 ;;
    --cgi) cgi=1; shift ;;
    --no-sendfile) sendfile=0; shift ;;
    --windows) windows=1; shift ;;
    --htpasswd) htpasswd=$(readable --htpasswd "${2:?--htpasswd needs a file}"); shift 2 ;;
    --anonymous-pull) anonymous_pull=1; shift ;;
    --access-file) access_file=$(readable --access-file "${2:?--access-file needs a file}"); shift 2 ;;
    --read-only) read_only=1; shift ;;
    --no-delete) delete_enabled=0; shift ;;
    --tls-cert) tls_cert=$(readable --tls-cert "${2:?--tls-cert needs a file}"); shift 2 ;;
    --tls-key) tls_key=$(readable --tls-key "${2:?--tls-key needs a file}"); shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "start-registry.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
(( anonymous_pull == 0 )) || [[ -n "$htpasswd" ]] || { echo "start-registry.sh: --anonymous-pull needs --htpasswd" >&2; exit 2; }
[[ -z "$tls_cert" && -z "$tls_key" ]] || [[ -n "$tls_cert" && -n "$tls_key" ]] ||
  { echo "start-registry.sh: --tls-cert and --tls-key go together" >&2; exit 2; }
[[ "$port" =~ ^[0-9]+$ ]] && (( port > 0 && port < 65536 )) || { echo "start-registry.sh: bad port '$port'" >&2; exit 2; }

repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/deps.sh" build server
[[ -z "$htpasswd$tls_cert" ]] || "$repo/scripts/deps.sh" access

build="$repo/build/release"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF >/dev/null
# With tests and benchmarks off, the default target is the modules, every endpoint program and
# the commands.
cmake --build "$build" -j "$(nproc)" >/dev/null

# The endpoints serve only a storage tree that is there; this start command is where one is
# made on purpose (registry-init leaves a tree that is there as it is). lighttpd takes in
# chunked request bodies whole before a program sees them; they wait in the spool directory.
# X-Sendfile wants the storage root as an absolute path.
"$build/tools/registry-init" --storage "$storage"
mkdir -p "$build/docroot" "$build/spool"
export REGISTRY_STORAGE_ROOT=$(cd "$storage" && pwd)
export BV_PORT=$port BV_BIND=$bind BV_X_SENDFILE=$sendfile
export BV_BIN_DIR="$build/endpoints" BV_DEPLOY_DIR="$repo/deploy" BV_DOC_ROOT="$build/docroot"
export BV_SPOOL_DIR="$build/spool"

# The configuration lighttpd runs: the project's own, then one optional piece of deploy/ per
# switch that needs one (each piece reads its settings from BV_* variables set above).
pieces=(lighttpd-switches.conf)
export BV_ACCESS_FILE=$access_file BV_READ_ONLY=$read_only BV_DELETE_ENABLED=$delete_enabled
if [[ -n "$htpasswd" ]]; then
  export BV_HTPASSWD=$htpasswd
  pieces+=(lighttpd-auth.conf)
  (( anonymous_pull == 0 )) || pieces+=(lighttpd-auth-anonymous-pull.conf)
fi
scheme=http
if [[ -n "$tls_cert" ]]; then
  export BV_TLS_CERT=$tls_cert BV_TLS_KEY=$tls_key
  pieces+=(lighttpd-tls.conf)
  scheme=https
fi
if (( windows )); then
  source "$repo/deploy/wine-setup.sh"
  wine_serve_from "$repo" "$repo/build/windows-release"
  export BV_X_SENDFILE=0
  pieces+=(lighttpd-wine.conf)
  cgi=1
fi
mode="FastCGI"
if (( cgi == 0 )); then
  # Each program's sockets; lighttpd replaces any a previous run left.
  export BV_RUN_DIR="$build/run" BV_FASTCGI_PROCS=${BV_FASTCGI_PROCS:-4}
  export BV_FASTCGI_TRANSFER_PROCS=${BV_FASTCGI_TRANSFER_PROCS:-32}
  export REGISTRY_FASTCGI_MAX_REQUESTS=${REGISTRY_FASTCGI_MAX_REQUESTS:-10000}
  [[ "$BV_FASTCGI_PROCS" =~ ^[1-9][0-9]*$ ]] || { echo "start-registry.sh: bad BV_FASTCGI_PROCS '$BV_FASTCGI_PROCS'" >&2; exit 2; }
  [[ "$BV_FASTCGI_TRANSFER_PROCS" =~ ^[1-9][0-9]*$ ]] ||
    { echo "start-registry.sh: bad BV_FASTCGI_TRANSFER_PROCS '$BV_FASTCGI_TRANSFER_PROCS'" >&2; exit 2; }
  [[ "$REGISTRY_FASTCGI_MAX_REQUESTS" =~ ^[0-9]+$ ]] ||
    { echo "start-registry.sh: bad REGISTRY_FASTCGI_MAX_REQUESTS '$REGISTRY_FASTCGI_MAX_REQUESTS'" >&2; exit 2; }
  # lighttpd splits a program's command line at spaces.
  [[ "$repo$build" != *" "* ]] || { echo "start-registry.sh: FastCGI needs a checkout path without spaces (or --cgi)" >&2; exit 2; }
  mkdir -p "$BV_RUN_DIR"
  pieces+=(lighttpd-fastcgi.conf)
else
  mode="CGI"
fi
run_conf="$build/lighttpd-run.conf"
{
  echo "include \"$repo/deploy/lighttpd.conf\""
  for piece in "${pieces[@]}"; do echo "include \"$repo/deploy/$piece\""; done
} >"$run_conf"

echo "Registry on $scheme://$bind:$port/v2/ ($mode, storage: $REGISTRY_STORAGE_ROOT); Ctrl-C stops it."
# Under Wine the script stays, to end the wineserver it started when lighttpd stops.
(( windows == 0 )) || { trap 'wine_stop_server "$BV_WINE"' EXIT; lighttpd -D -f "$run_conf" || true; exit 0; }
exec lighttpd -D -f "$run_conf"
