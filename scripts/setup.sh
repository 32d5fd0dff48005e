#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to where both builds and every test run: Debian's packages, the locale
# that gives Wine code page 936, tools/room-server's npm packages, and the Windows dependencies
# cross-built from Debian's sources. Safe to run again: each step is skipped when already done.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libboost-dev libwebsocketpp-dev rapidjson-dev libjsoncpp-dev libcurl4-openssl-dev libssl-dev googletest
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev dpkg-dev
  wine wine64 xvfb xauth x11-utils xdotool imagemagick fonts-wqy-microhei libx11-dev
  locales iproute2 libcap2-bin procps curl openssl osslsigncode nodejs ccache nsis
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

if [ -f "$repo/tools/room-server/package-lock.json" ]; then
  if [ ! -d "$repo/tools/room-server/node_modules" ] ||
     [ "$repo/tools/room-server/package-lock.json" -nt "$repo/tools/room-server/node_modules/.package-lock.json" ]; then
    (cd "$repo/tools/room-server" && npm ci --no-audit --no-fund --loglevel=error)
  fi
fi

# The demo needs only the Linux build with Debian's libraries; the rest also gets the static ones of the
# linux-static build (the room benchmark's and the package's).
if [ "${TAVREL_SKIP_WIN_DEPS:-0}" != 1 ]; then
  bash "$repo/scripts/build-win-deps.sh"
  bash "$repo/scripts/build-linux-deps.sh"
fi
