#!/usr/bin/env bash
# Installs the Debian packages a step needs when any is missing. Usage: deps.sh GROUP...
# Groups: build, server, apache, fuzz, windows, bench, browser. Needs root (or sudo) only when something is missing.
set -euo pipefail

declare -A groups=(
  [build]="cmake make g++ googletest rapidjson-dev libfcgi-dev"
  [server]="lighttpd curl skopeo podman"
  [access]="lighttpd-mod-openssl apache2-utils openssl"
  [apache]="apache2 libapache2-mod-fcgid libapache2-mod-xsendfile libxml2-utils"
  [fuzz]="clang libclang-rt-14-dev"
  [windows]="g++-mingw-w64-x86-64-posix mingw-w64-tools wine64"
  [bench]="openssl coreutils hyperfine wrk python3 bc apache2-utils"
  [browser]="chromium fonts-liberation"
  [cluster]="glusterfs-server glusterfs-client haproxy fuse3 lighttpd curl skopeo python3"
)

missing=()
for group in "$@"; do
  [[ -n "${groups[$group]+x}" ]] || { echo "deps.sh: unknown group '$group'" >&2; exit 2; }
  for pkg in ${groups[$group]}; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
