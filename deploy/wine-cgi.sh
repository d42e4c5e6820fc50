#!/bin/sh
# Starts the Windows build of an endpoint program under Wine as lighttpd's CGI program. Each
# launcher directory holds a link to this script under the program's name and a link NAME.exe
# to the .exe; lighttpd runs the first, this script the second.
# Paths the programs read from the environment become the Windows paths Wine gives them
# (drive Z: is the Unix root), and X-Sendfile stays off: a path the Windows program names
# means nothing to lighttpd.
windows_path() {
  case "$1" in
    /*) printf 'Z:%s' "$1" | tr / '\\' ;;
    *) printf '%s' "$1" ;;
  esac
}
REGISTRY_STORAGE_ROOT=$(windows_path "$REGISTRY_STORAGE_ROOT")
[ -z "$REGISTRY_ACCESS_FILE" ] || REGISTRY_ACCESS_FILE=$(windows_path "$REGISTRY_ACCESS_FILE")
REGISTRY_X_SENDFILE=0
export REGISTRY_STORAGE_ROOT REGISTRY_ACCESS_FILE REGISTRY_X_SENDFILE
exec "${BV_WINE:?BV_WINE names the wine64 loader}" "$0.exe"
