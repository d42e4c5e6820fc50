#!/usr/bin/env bash
# Cost of one catalog page and one tag-list page (100 names from the middle) over a small and a
# large tree, through lighttpd as CGI (/v2) and as FastCGI (/fcgi/v2), and the ratio large over
# small. Target for each: at most 2. The trees are made by hand, as directories and link files
# (the engine's own index is built by the first page, which is not timed).
#
# Usage: bench/run-listings.sh [ROUNDS]   (default 15; the median of each side counts)
# Environment: BV_LIST_SMALL and BV_LIST_LARGE, the repositories and tags of each tree (1000 and
# 100000); the variables of bench/endpoint-bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-15}
small=${BV_LIST_SMALL:-1000}
large=${BV_LIST_LARGE:-100000}
. bench/endpoint-bench.sh
bench_start fastcgi
repos="$REGISTRY_STORAGE_ROOT/repositories"
digest=sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef

# grow COUNT: repositories r0000000.. and tags t0000000.. of repository "tagged" up to COUNT
# each; the catalog index and the tag index go, so that the next page builds each over the whole
# tree.
grow() {
  python3 - "$repos" "$1" "$digest" <<'EOF'
import os, sys
repos, count, digest = sys.argv[1], int(sys.argv[2]), sys.argv[3]
for i in range(count):
    os.makedirs(f"{repos}/r{i:07d}/_manifests", exist_ok=True)
    current = f"{repos}/tagged/_manifests/tags/t{i:07d}/current"
    if not os.path.exists(current + "/link"):
        os.makedirs(current, exist_ok=True)
        with open(current + "/link", "w") as f:
            f.write(digest)
EOF
  rm -f "$REGISTRY_STORAGE_ROOT/repositories.index" "$repos/tagged/_manifests/tags.index"
}

# median_page URL: the median wall time in seconds of ROUNDS requests for URL (after one untimed).
median_page() {
  curl -sf -o /dev/null "$1"
  for _ in $(seq "$rounds"); do curl -sf -o /dev/null -w '%{time_total}\n' "$1"; done |
    sort -g | awk '{t[NR] = $1} END {print t[int((NR + 1) / 2)]}'
}

# measure COUNT: "catalog-cgi catalog-fcgi tags-cgi tags-fcgi" medians over a tree of COUNT.
measure() {
  local mid catalog tags
  mid=$(printf '%07d' $(($1 / 2)))
  catalog="v2/_catalog?n=100&last=r$mid"
  tags="v2/tagged/tags/list?n=100&last=t$mid"
  # The page holds the 100 names after the middle one, and says more follow.
  curl -sf "$bench_url/$catalog" | grep -q "\"r$(printf '%07d' $(($1 / 2 + 100)))\"" ||
    { echo "catalog page over $1 is not the expected one" >&2; exit 1; }
  curl -sf "$bench_url/$tags" | grep -q "\"t$(printf '%07d' $(($1 / 2 + 100)))\"" ||
    { echo "tag page over $1 is not the expected one" >&2; exit 1; }
  echo "$(median_page "$bench_url/$catalog") $(median_page "$bench_fcgi_url/$catalog")" \
       "$(median_page "$bench_url/$tags") $(median_page "$bench_fcgi_url/$tags")"
}

grow "$small"
read -r -a at_small <<<"$(measure "$small")"
grow "$large"
read -r -a at_large <<<"$(measure "$large")"
echo "Load average after: $(cut -d ' ' -f 1-3 /proc/loadavg)"

printf '\n%-28s %12s %12s %8s\n' "page of 100 from the middle" "$small" "$large" "ratio"
labels=("catalog, CGI" "catalog, FastCGI" "tag list, CGI" "tag list, FastCGI")
for i in 0 1 2 3; do
  python3 -c "s, l = ${at_small[$i]}, ${at_large[$i]}; r = l / s
print(f'{\"${labels[$i]}\":<28} {s * 1000:10.2f}ms {l * 1000:10.2f}ms {r:8.2f}  (target <= 2: {\"met\" if r <= 2 else \"missed\"})')"
done
