#!/usr/bin/env bash
# Builds the endpoint programs and serves the registry through Apache httpd in the foreground,
# with a ServerRoot of its own in the build directory. Ctrl-C stops it. --help for the options.
set -euo pipefail

usage() {
  cat <<'TXT'
Usage: deploy/start-apache.sh [--port N] [--bind ADDR] [--storage DIR] [--user NAME]
                              [--htpasswd FILE] [--cgi] [--no-sendfile]

Builds every endpoint program (Release) and runs Apache httpd in the foreground with
deploy/apache-httpd.conf, serving the registry API on http://ADDR:PORT/v2/. Missing Debian
packages are installed when run as root. The programs run as FastCGI applications under
mod_fcgid, each serving REGISTRY_FASTCGI_MAX_REQUESTS requests (default 10000, "0" no limit)
before mod_fcgid replaces it, at most BV_FASTCGI_PROCS (default 8) per program.

  --port N          port to listen on (default 5000, or $BV_PORT)
  --bind ADDR       address to listen on (default 127.0.0.1)
  --storage DIR     storage root handed to the endpoints as REGISTRY_STORAGE_ROOT
                    (default: ./registry_storage in the directory the command runs in);
                    the storage tree is made there by registry-init when it is missing
  --user NAME       run as root only: the account httpd serves as and runs the programs as
                    (default www-data); the storage root is handed to it
  --htpasswd FILE   every endpoint asks for HTTP Basic authentication against FILE
                    (made with htpasswd from apache2-utils)
  --cgi             plain CGI (mod_cgid) instead: one process per request
  --no-sendfile     the blob program streams blob bodies itself even where mod_xsendfile
                    (libapache2-mod-xsendfile) is installed; by default Apache sends them
                    from the blob files through it, and the program streams them without it
  -h, --help        show this text

httpd's error log is build/release/apache/logs/error.log.
TXT
}

port=${BV_PORT:-5000}
bind=127.0.0.1
storage="$PWD/registry_storage"
user=www-data
htpasswd=
cgi=0
sendfile=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --port) port=${2:?--port needs a value}; shift 2 ;;
    --bind) bind=${2:?--bind needs a value}; shift 2 ;;
    --storage) storage=${2:?--storage needs a value}; shift 2 ;;
    --user) user=${2:?--user needs a value}; shift 2 ;;
    --htpasswd) htpasswd=${2:?--htpasswd needs a value}; shift 2 ;;
    --cgi) cgi=1; shift ;;
    --no-sendfile) sendfile=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "start-apache.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
[[ "$port" =~ ^[0-9]+$ ]] && (( port > 0 && port < 65536 )) || { echo "start-apache.sh: bad port '$port'" >&2; exit 2; }
# Values go into httpd's configuration between double quotes.
for value in "$bind" "$storage" "$user" "$htpasswd"; do
  [[ "$value" != *[\"\\$'\n']* ]] || { echo "start-apache.sh: quotes, backslashes and line ends are not allowed in '$value'" >&2; exit 2; }
done
if [[ -n "$htpasswd" ]]; then
  [[ -r "$htpasswd" ]] || { echo "start-apache.sh: cannot read '$htpasswd'" >&2; exit 2; }
  htpasswd=$(cd "$(dirname "$htpasswd")" && pwd)/$(basename "$htpasswd")
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/deps.sh" build apache

build="$repo/build/release"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF >/dev/null
# With tests and benchmarks off, the default target is the modules, every endpoint program and
# the commands.
cmake --build "$build" -j "$(nproc)" >/dev/null

httpd=$(command -v apache2 || command -v httpd || true)
[[ -z "$httpd" && -x /usr/sbin/apache2 ]] && httpd=/usr/sbin/apache2
[[ -n "$httpd" ]] || { echo "start-apache.sh: Apache httpd is not installed" >&2; exit 1; }
modules=
for dir in /usr/lib/apache2/modules /usr/lib64/httpd/modules /usr/lib/httpd/modules; do
  [[ -r "$dir/mod_cgid.so" ]] && { modules=$dir; break; }
done
[[ -n "$modules" ]] || { echo "start-apache.sh: Apache's mod_cgid.so was not found" >&2; exit 1; }
# Apache sends blob files itself where mod_xsendfile is there to load.
(( sendfile == 0 )) || [[ -r "$modules/mod_xsendfile.so" ]] || sendfile=0
max_requests=${REGISTRY_FASTCGI_MAX_REQUESTS:-10000} procs=${BV_FASTCGI_PROCS:-8}
if (( cgi == 0 )); then
  [[ -r "$modules/mod_fcgid.so" ]] || { echo "start-apache.sh: mod_fcgid.so is not in $modules (libapache2-mod-fcgid), or use --cgi" >&2; exit 1; }
  [[ "$max_requests" =~ ^[0-9]+$ ]] || { echo "start-apache.sh: bad REGISTRY_FASTCGI_MAX_REQUESTS '$max_requests'" >&2; exit 2; }
  [[ "$procs" =~ ^[1-9][0-9]*$ ]] || { echo "start-apache.sh: bad BV_FASTCGI_PROCS '$procs'" >&2; exit 2; }
fi

# The programs serve only a storage tree that is there; this start command makes one on
# purpose where it is missing.
"$build/tools/registry-init" --storage "$storage"
storage=$(cd "$storage" && pwd)
bin="$build/endpoints"
root="$build/apache"
mkdir -p "$root/logs" "$root/run"

# httpd refuses to run programs as root: started as root it serves as --user, which must own
# the storage root and reach the programs.
user_lines=
if [[ $(id -u) -eq 0 ]]; then
  id "$user" >/dev/null 2>&1 || { echo "start-apache.sh: no account '$user' (--user)" >&2; exit 2; }
  [[ $(stat -c %U "$storage") == "$user" ]] || chown -R "$user:" "$storage"
  if ! runuser -u "$user" -- test -x "$bin/v2_ping"; then
    echo "start-apache.sh: '$user' cannot reach $bin (every directory above it must be searchable by it)" >&2
    exit 1
  fi
  group=$(id -gn "$user")
  user_lines="User $user
Group $group"
fi

conf="$root/httpd.conf"
cat >"$conf" <<CONF
# Written by deploy/start-apache.sh: the server around deploy/apache-httpd.conf.
ServerRoot "$root"
DefaultRuntimeDir "$root/run"
PidFile "$root/run/httpd.pid"
ErrorLog "$root/logs/error.log"
LogLevel warn
ServerName $bind
ServerTokens Prod
ServerSignature Off
$user_lines
Define BV_PORT $port
Define BV_BIND "$bind"
Define BV_BIN_DIR "$bin"
Define BV_APACHE_MODULES "$modules"
Define REGISTRY_STORAGE_ROOT "$storage"
Define BV_WEB_DIR "$repo/web"
CONF
[[ -z "$htpasswd" ]] || echo "Define BV_HTPASSWD \"$htpasswd\"" >>"$conf"
(( sendfile == 0 )) || echo "Define BV_X_SENDFILE" >>"$conf"
(( cgi )) || printf 'Define BV_FASTCGI\nDefine BV_FASTCGI_MAX_REQUESTS %s\nDefine BV_FASTCGI_PROCS %s\n' "$max_requests" "$procs" >>"$conf"
cat >>"$conf" <<CONF
Include "$repo/deploy/apache-httpd.conf"
# mod_cgid's socket to its program-starting daemon, mod_fcgid's sockets to the programs and its
# table of them (after the Include, which loads the modules).
ScriptSock "$root/run/cgid.sock"
<IfModule fcgid_module>
  FcgidIPCDir "$root/run/fcgid"
  FcgidProcessTableFile "$root/run/fcgid-table"
</IfModule>
CONF

"$httpd" -f "$conf" -t >/dev/null 2>&1 || { "$httpd" -f "$conf" -t; exit 1; }
mode=FastCGI
(( cgi == 0 )) || mode=CGI
blobs="blobs sent by mod_xsendfile"
(( sendfile )) || blobs="blobs streamed by the blob program"
echo "Registry on http://$bind:$port/v2/ under Apache httpd ($mode, $blobs, storage: $storage); Ctrl-C stops it."
exec "$httpd" -f "$conf" -DFOREGROUND
