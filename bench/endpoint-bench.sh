# Sourced by run-pull.sh, run-push.sh, run-small.sh and the FastCGI benchmarks: builds the
# endpoint and baseline programs (Release) and serves them with bench/lighttpd-bench.conf (the
# registry's own lighttpd configuration plus the baselines) on a local port over a scratch
# storage root; everything stops and goes when the script exits. `bench_start fastcgi` serves
# bench/lighttpd-bench-fastcgi.conf instead: the same, plus the endpoints as FastCGI
# applications under /fcgi/ ($bench_fcgi_url) and the FastCGI floor.
# Environment: BV_BENCH_DIR, scratch directory on the disk to measure (default
# /tmp/bv-endpoint-bench, removed afterwards); BV_BENCH_PORT (default 18950); BV_BENCH_BUILD,
# the build directory (default build/bench); BV_FASTCGI_PROCS, processes per FastCGI program
# (default 2); BV_FASTCGI_MAX_REQUESTS, requests per process (default 10000, "0" no limit).

bench_start() {
  local conf=bench/lighttpd-bench.conf
  local targets=(v2_ping v2_blobs v2_uploads ping_baseline push_baseline registry-init)
  if [[ ${1:-} == fastcgi ]]; then
    conf=bench/lighttpd-bench-fastcgi.conf
    targets+=(v2_manifests v2_tags v2_catalog v2_referrers manifest_seed fcgi_floor)
  fi
  bench_build=${BV_BENCH_BUILD:-build/bench}
  scripts/deps.sh build server bench
  cmake -S . -B "$bench_build" -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=ON >/dev/null
  cmake --build "$bench_build" --target "${targets[@]}" -j "$(nproc)" >/dev/null

  bench_dir=${BV_BENCH_DIR:-/tmp/bv-endpoint-bench}
  rm -rf "$bench_dir"
  mkdir -p "$bench_dir"/{spool,docroot,files,copy,sockets}
  # The endpoints serve only a storage tree that is there.
  "$bench_build/tools/registry-init" --storage "$bench_dir/storage" >/dev/null
  bench_port=${BV_BENCH_PORT:-18950}
  bench_url="http://127.0.0.1:$bench_port"
  bench_fcgi_url="$bench_url/fcgi"
  export BV_PORT=$bench_port BV_BIND=127.0.0.1 BV_X_SENDFILE=1
  export BV_BIN_DIR="$PWD/$bench_build/endpoints" BV_DEPLOY_DIR="$PWD/deploy"
  export BV_DOC_ROOT="$bench_dir/docroot" BV_SPOOL_DIR="$bench_dir/spool"
  export REGISTRY_STORAGE_ROOT="$bench_dir/storage"
  export BV_BENCH_BIN="$PWD/$bench_build/bench" BV_BENCH_FILES="$bench_dir/files"
  export BV_BENCH_COPY="$bench_dir/copy/body"
  export BV_FASTCGI_SOCKETS="$bench_dir/sockets" BV_FASTCGI_PROCS=${BV_FASTCGI_PROCS:-2}
  export BV_FASTCGI_MAX_REQUESTS=${BV_FASTCGI_MAX_REQUESTS:-10000}
  # The programs run as deploy/lighttpd-fastcgi.conf runs them.
  export BV_FASTCGI_RUN=
  [[ -x deploy/fastcgi-run.sh ]] && BV_FASTCGI_RUN="$PWD/deploy/fastcgi-run.sh "
  lighttpd -D -f "$conf" 2>"$bench_dir/lighttpd.log" &
  bench_pid=$!
  trap 'kill "$bench_pid" 2>/dev/null; wait "$bench_pid" 2>/dev/null; rm -rf "$bench_dir"' EXIT
  for _ in $(seq 100); do
    curl -sf -o /dev/null "$bench_url/v2/" && break
    sleep 0.05
  done
  curl -sf -o /dev/null "$bench_url/v2/" || { cat "$bench_dir/lighttpd.log" >&2; echo "lighttpd did not start" >&2; exit 1; }
  echo "Disk: $(df -h --output=source,fstype "$bench_dir" | tail -n 1); load average: $(cut -d ' ' -f 1-3 /proc/loadavg)"
}

# A file of MIB random MiB at PATH and its digest string.
bench_make_file() {
  head -c "$(( $2 << 20 ))" /dev/urandom >"$1"
  echo "sha256:$(openssl dgst -sha256 -r "$1" | cut -d ' ' -f 1)"
}

# Pushes FILE as DIGEST into repository bench in one POST. curl -T streams the file with its
# length; it would append the file's name to a URL path ending in "/", so the path has none
# (the configuration routes .../uploads and .../uploads/ alike).
bench_push() {
  curl -sf -o /dev/null -H 'Expect:' -X POST -T "$1" "$bench_url/v2/bench/blobs/uploads?digest=$2"
}

# Wall seconds of a command, to the millisecond.
bench_time() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

# min NUMBER...: the smallest; max NUMBER...: the largest.
bench_min() { printf '%s\n' "$@" | sort -g | head -n 1; }
bench_max() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# bench_pid_of PROGRAM: the process of PROGRAM (its only one) under the running lighttpd
# ($bench_pid): lighttpd's child, or its grandchild when deploy/fastcgi-run.sh runs it.
bench_pid_of() {
  local found
  # cat, not awk, opens the files: a process that ends meanwhile is skipped, where mawk would
  # stop at its vanished file.
  found=$(cat /proc/[0-9]*/stat 2>/dev/null | awk -v top="$bench_pid" -v name="($1)" '
    {parent[$1] = $4; comm[$1] = $2}
    END {for (p in comm) if (comm[p] == name && (parent[p] == top || parent[parent[p]] == top)) print p}' || true)
  [[ -n $found && $found != *$'\n'* ]] || { echo "$1: not exactly one process: ${found:-none}" >&2; return 1; }
  echo "$found"
}
