#!/usr/bin/env bash
# Installs everything orvanta needs to build, test and run, and fetches the
# pristine Lua 5.4.2 release. Idempotent; run as root on Debian 12.
set -euo pipefail

LUA_SHA256=11570d97e9d7303c0a59567ed1ac7c648340cd0db10d5fd594c09223ef2f524f
LUA_CACHE=${ORVANTA_LUA_CACHE:-/var/cache/orvanta}
LUA_TARBALL=$LUA_CACHE/lua5.4_5.4.2.orig.tar.gz

PACKAGES=(
  build-essential cmake ninja-build pkg-config git patch ca-certificates dpkg-dev
  libsdl2-dev libcurl4-openssl-dev liblz4-dev liblodepng-dev libgif-dev libqoi-dev libmurmurhash-dev
  libmimalloc-dev libgtest-dev libgmock-dev googletest libbenchmark-dev valgrind
  clang libclang-rt-14-dev
  python3 python3-lz4 python3-numpy python3-pil giflib-tools xvfb xdotool x11-apps openssl
)

have_all() {
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || return 1
  done
}

if ! have_all; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}"
fi

tarball_ok() {
  [ -f "$LUA_TARBALL" ] && echo "$LUA_SHA256  $LUA_TARBALL" | sha256sum -c --status
}

if ! tarball_ok; then
  # The 5.4.2 release lives in bullseye; point a deb-src entry at the mirror
  # this machine already uses, rather than naming one here.
  mirror=$(grep -rhoE '^(URIs:|deb)[[:space:]]+[a-z]+://[^[:space:]]+/debian/?' \
             /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
           | grep -v security | head -n1 | awk '{print $NF}' || true)
  [ -n "$mirror" ] || { echo "setup: no Debian mirror configured in apt sources" >&2; exit 1; }
  src_list=/etc/apt/sources.list.d/orvanta-lua-src.list
  echo "deb-src ${mirror%/} bullseye main" > "$src_list"
  apt-get update -qq -o Dir::Etc::sourcelist="$src_list" -o Dir::Etc::sourceparts=- -o APT::Get::List-Cleanup=0
  mkdir -p "$LUA_CACHE"
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source --download-only -qq lua5.4=5.4.2-2)
  mv "$tmp"/lua5.4_5.4.2.orig.tar.gz "$LUA_TARBALL"
  rm -rf "$tmp"
  tarball_ok || { echo "setup: lua5.4_5.4.2.orig.tar.gz checksum mismatch" >&2; exit 1; }
fi
echo "setup: ok ($LUA_TARBALL)"
