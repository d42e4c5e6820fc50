#!/usr/bin/env bash
# Cross-builds the Windows programs and test suite with mingw-w64 and runs them under Wine,
# then serves the Windows endpoint programs through lighttpd and Wine to skopeo and curl.
# Works unattended (CI, no terminal, no display): the Wine prefix lives in build/windows and
# is created on the first run. Environment: BV_JOBS (default: all cores); BV_WINDOWS_BUILD
# (default build/windows) and BV_LINUX_BUILD (default build/linux, the native build whose
# integration suite drives the clients; test-all.sh has built it already).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${BV_JOBS:-$(nproc)}
build=$(realpath -m "${BV_WINDOWS_BUILD:-$root/build/windows}")
linux_build=$(realpath -m "${BV_LINUX_BUILD:-$root/build/linux}")

scripts/deps.sh build windows server
source deploy/wine-setup.sh

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"

wine=$(sed -n 's/^BV_WINE64:FILEPATH=//p' "$build/CMakeCache.txt")
if [[ -z "$wine" || ! -x "$wine" ]]; then
  echo "test-windows.sh: wine64 not found (the toolchain file looks in /usr/lib/wine)" >&2
  exit 1
fi

# A private prefix, settled before anything runs in it, and one wineserver for the whole run.
export WINEPREFIX="$build/wine-prefix"
wine_quiet_env
wine_prefix_ready "$wine" "$build/wineboot.log" || { echo "test-windows.sh: no usable Wine prefix" >&2; exit 1; }
wine_keep_server "$wine"
trap 'wine_stop_server "$wine"' EXIT

# The deployed program, run the way a web server runs it: its standard output must carry
# the CR LF line ends unchanged and no carriage return of its own.
expected="$build/v2_ping.expected"
printf 'Status: 200 OK\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 3\r\n\r\n{}\n' >"$expected"
REQUEST_METHOD=GET "$wine" "$build/endpoints/v2_ping.exe" </dev/null >"$build/v2_ping.out"
if ! cmp "$expected" "$build/v2_ping.out"; then
  echo "test-windows.sh: v2_ping.exe under Wine wrote other bytes:" >&2
  od -c "$build/v2_ping.out" >&2
  exit 1
fi
echo "v2_ping.exe under Wine: exact response bytes"

# The command an operator runs once before the first request makes the tree at a Windows path.
tree="$build/init-check"
rm -rf "$tree"
"$wine" "$build/tools/registry-init.exe" --storage "Z:$(printf '%s' "$tree" | tr / '\\')" </dev/null >/dev/null
if [[ ! -f "$tree/config.json" || ! -d "$tree/uploads" || ! -d "$tree/repositories" ]]; then
  echo "test-windows.sh: registry-init.exe under Wine made no storage tree at $tree" >&2
  exit 1
fi
rm -rf "$tree"
echo "registry-init.exe under Wine: storage tree made"

# ctest starts every test program through Wine (the toolchain's emulator).
ctest --test-dir "$build" --output-on-failure -j "$jobs" </dev/null

# Real clients against the Windows programs: lighttpd (deploy/lighttpd-wine.conf) runs each
# .exe through Wine from a launcher directory, and the native integration suite's WineRegistry
# tests push, pull, list and delete through it with skopeo and curl; the WineFastcgi tests run the
# same programs under Wine as FastCGI applications on TCP (deploy/wine-fastcgi.sh,
# deploy/lighttpd-wine-fastcgi.conf, ports 19210-19227).
cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_BENCH=OFF >/dev/null
cmake --build "$linux_build" -j "$jobs" --target integration_tests
launchers="$build/wine-launchers"
rm -rf "$launchers"
wine_launchers "$launchers" "$build/endpoints"
log="$build/wine-registry.log"
if ! BV_WINE_BIN_DIR="$launchers" BV_WINE="$wine" "$linux_build/tests/integration_tests" \
       --gtest_filter='WineRegistry.*:WineFastcgi*' </dev/null 2>&1 | tee "$log"; then
  echo "test-windows.sh: the Windows endpoint programs failed real clients under lighttpd and Wine (log: $log)" >&2
  exit 1
fi
if grep -q '^\[  SKIPPED \]' "$log" || ! grep -q '^\[  PASSED  \] [1-9]' "$log"; then
  echo "test-windows.sh: the WineRegistry and WineFastcgi tests did not run (log: $log)" >&2
  exit 1
fi
