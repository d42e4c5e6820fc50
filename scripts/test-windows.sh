#!/usr/bin/env bash
# Cross-builds the Windows programs and test suite with mingw-w64 and runs them under Wine.
# Works unattended (CI, no terminal, no display): the Wine prefix lives in build/windows and
# is created on the first run. Environment: BV_JOBS (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${BV_JOBS:-$(nproc)}
build="$root/build/windows"

scripts/deps.sh build windows

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"

wine=$(sed -n 's/^BV_WINE64:FILEPATH=//p' "$build/CMakeCache.txt")
if [[ -z "$wine" || ! -x "$wine" ]]; then
  echo "test-windows.sh: wine64 not found (the toolchain file looks in /usr/lib/wine)" >&2
  exit 1
fi

# A private prefix, no debug chatter, no window system, and no offer to install the .NET
# and HTML runtimes: nothing here may wait for a person.
export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "Creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  if ! "$wine" wineboot --init </dev/null >"$build/wineboot.log" 2>&1; then
    cat "$build/wineboot.log" >&2
    echo "test-windows.sh: wineboot failed" >&2
    exit 1
  fi
fi

# The deployed program, run the way a web server runs it: its standard output must carry
# the CR LF line ends unchanged and no carriage return of its own.
expected="$build/v2_ping.expected"
printf 'Status: 200 OK\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; charset=utf-8\r\n\r\n{}\n' >"$expected"
REQUEST_METHOD=GET "$wine" "$build/endpoints/v2_ping.exe" </dev/null >"$build/v2_ping.out"
if ! cmp "$expected" "$build/v2_ping.out"; then
  echo "test-windows.sh: v2_ping.exe under Wine wrote other bytes:" >&2
  od -c "$build/v2_ping.out" >&2
  exit 1
fi
echo "v2_ping.exe under Wine: exact response bytes"

# ctest starts every test program through Wine (the toolchain's emulator).
ctest --test-dir "$build" --output-on-failure -j "$jobs" </dev/null
