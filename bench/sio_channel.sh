#!/usr/bin/env bash
# The channel's two figures: decode-and-dispatch throughput on one core, and the round trip of a server event
# with acknowledgement (10 000 of them on loopback, p50/p99) against a room-server started here.
#
#   bench/sio_channel.sh [build folder] [round trips]
# The build folder holds bench/sio_decode and bench/sio_latency (default: build/linux); a Release build gives
# the figures that count.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/linux}
count=${2:-10000}
for p in sio_decode sio_latency; do
  [ -x "$build/bench/$p" ] || { echo "no $build/bench/$p: build the bench targets first" >&2; exit 2; }
done

"$build/bench/sio_decode"

. "$repo/bench/room_lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/sio-bench.XXXXXX")
room_on_exit
start_room_server "$work"
TAVREL_ROOM_SERVER=127.0.0.1:$control "$build/bench/sio_latency" "$count" 2>/dev/null
