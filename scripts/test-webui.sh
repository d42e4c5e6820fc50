#!/usr/bin/env bash
# The browsing page's test in a real browser: installs Debian's chromium (deps.sh browser) and the
# browser driver (tests/webui/package-lock.json, with npm, never a browser of its own), builds the
# integration suite and runs its WebPage test. Screenshots land in <build>/screenshots/.
# Environment: BV_WEBUI_BUILD (default build/linux), BV_JOBS (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BV_WEBUI_BUILD:-build/linux}
jobs=${BV_JOBS:-$(nproc)}

scripts/deps.sh build server browser
for tool in node npm; do
  command -v "$tool" >/dev/null || { echo "test-webui.sh: $tool is missing (the machine's Node.js)" >&2; exit 1; }
done

# The driver goes into the build folder, from the committed lock file only.
node_dir="$build/webui-node"
mkdir -p "$node_dir"
cp tests/webui/package.json tests/webui/package-lock.json "$node_dir/"
if ! cmp -s tests/webui/package-lock.json "$node_dir/node_modules/.package-lock.json.src" 2>/dev/null; then
  (cd "$node_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 \
     npm ci --no-audit --no-fund --loglevel=error)
  cp tests/webui/package-lock.json "$node_dir/node_modules/.package-lock.json.src"
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"
mkdir -p "$build/screenshots"
log="$build/webui-test.log"
# The scratch registry holds 5,000 tags: in memory they are made and removed in a moment.
[[ -d /dev/shm && -w /dev/shm ]] && export TMPDIR=/dev/shm
BV_WEBUI_NODE_DIR="$(cd "$node_dir" && pwd)" BV_WEBUI_SCREENSHOTS="$(cd "$build/screenshots" && pwd)" \
  "$build/tests/integration_tests" --gtest_filter='WebPage.*' 2>&1 | tee "$log"
# A filter that matched nothing, or a test that skipped, would pass silently.
grep -q '^\[  PASSED  \] 1 test' "$log" && ! grep -q '^\[  SKIPPED \]' "$log" ||
  { echo "test-webui.sh: the browser test did not run and pass" >&2; exit 1; }
echo "Screenshots: $build/screenshots/"
