#!/usr/bin/env bash
# Makes the Linux package tavrel-agent_<version>_amd64.deb from a Linux build (default: the "linux-static" preset,
# which loads only what the agent uses; any other Linux preset works the same) and prints its path.
#
#   bash scripts/package-deb.sh [preset]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
preset=${1:-linux-static}
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$repo" CCACHE_NOHASHDIR=true
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target TavrelAgent
# Every preset builds in build/<its name>.
build=$repo/build/$preset
(cd "$build" && cpack -G DEB -B "$build/package" >/dev/null)
ls -t "$build"/package/tavrel-agent_*.deb | head -n1
