#!/usr/bin/env bash
# Builds both targets and runs every test: the Linux suite natively, under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer; the room-server's own tests; and the Windows suite
# under Wine with code page 936. Exits non-zero when anything fails.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

# Four configurations of one tree: ccache keeps a rebuild on the same machine (a later clone included) short.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$repo" CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
fi

failures=()
step() {
  local name=$1; shift
  echo
  echo "=== $name ==="
  local started=$SECONDS
  if "$@"; then
    echo "=== $name: ok ($((SECONDS - started)) s) ==="
  else
    echo "=== $name: FAILED ($((SECONDS - started)) s) ==="
    failures+=("$name")
  fi
}

build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }
run_ctest() { ctest --preset "$1"; }

cleanup() {
  WINEPREFIX="$repo/build/wineprefix" timeout 30 wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

# Nothing a test runs may shut this machine down: the suites run without the right to.
drop_boot=()
if command -v capsh >/dev/null && [ "$(id -u)" = 0 ]; then
  drop_boot=(capsh --drop=cap_sys_boot --)
fi
in_guard() { if [ ${#drop_boot[@]} -gt 0 ]; then capsh --drop=cap_sys_boot -- -c "$(printf '%q ' "$@")"; else "$@"; fi; }

step "room-server tests" bash -c "cd tools/room-server && npm test --silent"
step "linux build" build linux
step "linux tests" in_guard ctest --preset linux
step "channel endurance (2 min, pings every 200 ms)" env TAVREL_CHANNEL_ENDURANCE=1 \
  GTEST_FILTER='Channel.EnduranceHoldsWithShortTimers' \
  tests/with-room-server.sh build/linux/tests/bin/tavrel_sio_tests --gtest_color=no
# A room of 50 agents (the linux-static build) in namespaces of their own: every phase completes and nothing is
# left behind.
step "linux-static build" bash -c "cmake --preset linux-static >/dev/null && cmake --build --preset linux-static --target TavrelAgent exam_client_stub installer_probe room_peer"
step "room of 50 agents (smoke)" in_guard bash bench/room_smoke.sh build/linux-static 50
step "windows build" build windows
step "windows tests (wine)" in_guard ctest --preset windows
step "linux-asan build" build linux-asan
step "linux-asan tests" in_guard ctest --preset linux-asan
step "linux-tsan build" build linux-tsan
step "linux-tsan tests" in_guard env TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset linux-tsan

echo
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all builds and test suites passed"
