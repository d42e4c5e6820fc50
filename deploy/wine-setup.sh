# Shell functions (sourced, not run) for serving the Windows build through Wine: a settled Wine
# prefix, one wineserver kept running for all the short-lived programs, and the launcher
# directory lighttpd runs them from. Used by deploy/start-registry.sh --windows and
# scripts/test-windows.sh; both export WINEPREFIX (and WINEDEBUG) before calling these.

# Unattended Wine: no debug chatter, no window system, no offer to install the .NET and HTML
# runtimes. Nothing here may wait for a person.
wine_quiet_env() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}

# wine_prefix_ready WINE LOG: makes $WINEPREFIX when it has no registry yet, then waits until
# wineboot and every service it started have ended. A program started while a fresh prefix is
# still being set up may die during its own start (CreateProcess then fails with error 1359),
# so callers start nothing before this returns. Output goes to LOG, shown on failure.
wine_prefix_ready() {
  local wine=$1 log=$2
  local server
  server="$(dirname "$wine")/wineserver"
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    if ! "$wine" wineboot --init </dev/null >"$log" 2>&1; then
      cat "$log" >&2
      echo "wineboot failed for $WINEPREFIX" >&2
      return 1
    fi
  fi
  # A wineserver made persistent by an earlier run that was cut short would make -w wait
  # for ever; ending it first is harmless, the prefix is this build's own.
  "$server" -k 2>/dev/null || true
  "$server" -w
}

# wine_keep_server WINE: one wineserver for $WINEPREFIX that stays up between programs, so each
# program start costs about a quarter of a second instead of a server start as well. The
# first program of a server starts Wine's own services, which inherit its standard streams and
# live as long as the server: a trivial first program gives them /dev/null, never the pipe of
# a test or of a CGI request, whose reader would otherwise wait for an end that never comes.
wine_keep_server() {
  "$(dirname "$1")/wineserver" -p
  "$1" cmd /c exit </dev/null >/dev/null 2>&1
}

# wine_stop_server WINE: ends that wineserver and whatever still runs in the prefix.
wine_stop_server() {
  "$(dirname "$1")/wineserver" -k 2>/dev/null || true
}

# wine_launchers DIR EXE_DIR...: fills DIR with, for every NAME.exe in the EXE_DIRs, a link NAME
# to deploy/wine-cgi.sh and a link NAME.exe to the program. DIR is then lighttpd's BV_BIN_DIR.
wine_launchers() {
  local dir=$1 launcher exe name
  shift
  launcher="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine-cgi.sh"
  mkdir -p "$dir"
  for exe_dir in "$@"; do
    for exe in "$exe_dir"/*.exe; do
      [[ -f "$exe" ]] || continue
      name=$(basename "$exe" .exe)
      ln -sfn "$launcher" "$dir/$name"
      ln -sfn "$(cd "$(dirname "$exe")" && pwd)/$name.exe" "$dir/$name.exe"
    done
  done
}

# wine_serve_from REPO BUILD: everything deploy/start-registry.sh --windows needs before lighttpd
# starts: the endpoint programs cross-built (Release) into BUILD, its prefix BUILD/wine-prefix
# settled, its wineserver kept running and the launchers in BUILD/wine-launchers. Exports
# WINEPREFIX, BV_WINE and BV_BIN_DIR for deploy/lighttpd-wine.conf.
wine_serve_from() {
  local repo=$1 build=$2
  "$repo/scripts/deps.sh" windows
  cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
  BV_WINE=$(sed -n 's/^BV_WINE64:FILEPATH=//p' "$build/CMakeCache.txt")
  [[ -n "$BV_WINE" && -x "$BV_WINE" ]] || { echo "wine64 not found (the toolchain file looks in /usr/lib/wine)" >&2; return 1; }
  export BV_WINE WINEPREFIX="$build/wine-prefix" BV_BIN_DIR="$build/wine-launchers"
  wine_quiet_env
  wine_prefix_ready "$BV_WINE" "$build/wineboot.log"
  wine_keep_server "$BV_WINE"
  rm -rf "$BV_BIN_DIR"
  wine_launchers "$BV_BIN_DIR" "$build/endpoints"
}
