#!/usr/bin/env bash
# CI's smoke run of the room: bench/room.sh 50 must complete every phase, print its figures and leave no
# namespace and no process of its own behind.
#
#   bench/room_smoke.sh [build folder=build/linux] [N=50]
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/linux}
count=${2:-50}
tag=tvr$$
out=$build/room-smoke
mkdir -p "$out"
rm -f "$out/room-$count.json"

TAVREL_ROOM_BUILD=$build TAVREL_ROOM_TAG=$tag TAVREL_ROOM_OUT=$out timeout -s TERM 170 bash "$repo/bench/room.sh" "$count"
status=$?
failed=0
if [ "$status" -ne 0 ]; then
  echo "room smoke: bench/room.sh $count ended with $status" >&2
  failed=1
fi
if ! grep -q "\"agents\": $count" "$out/room-$count.json" 2>/dev/null; then
  echo "room smoke: no figures in $out/room-$count.json" >&2
  failed=1
fi
left=$(ip netns list 2>/dev/null | awk -v tag="$tag-" 'index($1, tag) == 1 { print $1 }')
if [ -n "$left" ]; then
  echo "room smoke: namespaces left behind: $(echo $left)" >&2
  failed=1
fi
procs=$(grep -lsz "^TAVREL_ROOM_RUN=$tag\$" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | grep -vx "$$" || true)
if [ -n "$procs" ]; then
  echo "room smoke: processes left behind: $(echo $procs)" >&2
  ps -o pid,args -p "$(echo $procs | tr ' ' ,)" >&2 || true
  failed=1
fi
[ "$failed" -eq 0 ] && echo "room smoke: $count agents, every phase complete, nothing left behind"
exit "$failed"
