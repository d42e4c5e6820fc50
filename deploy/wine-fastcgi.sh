#!/bin/sh
# Serves the Windows build of the endpoint programs under Wine as FastCGI applications that
# listen on TCP themselves (REGISTRY_FASTCGI_LISTEN), for lighttpd's mod_fastcgi with "host" and
# "port" (deploy/lighttpd-wine-fastcgi.conf). Two processes per program, each started again
# when it ends (after REGISTRY_FASTCGI_MAX_REQUESTS requests, or after a fault). Runs until it
# is sent SIGTERM, which ends the programs too. Usage: wine-fastcgi.sh EXE_DIR
#   BV_WINE                the wine64 loader; WINEPREFIX a prefix whose wineserver is kept running
#   BV_WINE_FASTCGI_PORTS  three digits D: program i (in the order below) listens on 127.0.0.1
#                          ports D1i and D2i, e.g. 19210 and 19220 for v2_ping with D=192
#   REGISTRY_STORAGE_ROOT  and the other REGISTRY_* settings, passed on (paths as Windows paths)
exe_dir=${1:?usage: wine-fastcgi.sh EXE_DIR}
: "${BV_WINE:?BV_WINE names the wine64 loader}" "${BV_WINE_FASTCGI_PORTS:?BV_WINE_FASTCGI_PORTS is unset}"
windows_path() {
  case "$1" in
    /*) printf 'Z:%s' "$1" | tr / '\\' ;;
    *) printf '%s' "$1" ;;
  esac
}
REGISTRY_STORAGE_ROOT=$(windows_path "$REGISTRY_STORAGE_ROOT")
[ -z "$REGISTRY_ACCESS_FILE" ] || REGISTRY_ACCESS_FILE=$(windows_path "$REGISTRY_ACCESS_FILE")
# A path the Windows program names in X-Sendfile means nothing to lighttpd.
REGISTRY_X_SENDFILE=0
export REGISTRY_STORAGE_ROOT REGISTRY_ACCESS_FILE REGISTRY_X_SENDFILE

# serve PROGRAM PORT: one process slot, started again whenever its program ends. A program that
# ends at once five times in a row (its port taken, say) is given up.
serve() {
  quick=0
  while [ "$quick" -lt 5 ]; do
    started=$(date +%s)
    REGISTRY_FASTCGI_LISTEN=127.0.0.1:$2 "$BV_WINE" "$exe_dir/$1.exe" </dev/null
    if [ "$(date +%s)" -le $((started + 1)) ]; then quick=$((quick + 1)); else quick=0; fi
    sleep 0.1
  done
  echo "wine-fastcgi.sh: $1 on port $2 keeps ending at once" >&2
}

trap 'trap - TERM INT; kill 0' TERM INT
i=0
for program in v2_ping v2_catalog v2_uploads v2_blobs v2_manifests v2_tags v2_referrers registry_stats; do
  [ -f "$exe_dir/$program.exe" ] || { echo "wine-fastcgi.sh: no $exe_dir/$program.exe" >&2; exit 1; }
  serve "$program" "${BV_WINE_FASTCGI_PORTS}1$i" &
  serve "$program" "${BV_WINE_FASTCGI_PORTS}2$i" &
  i=$((i + 1))
done
wait
