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

work=$(mktemp -d "${TMPDIR:-/tmp}/sio-bench.XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# The server ends by itself when its stdin closes, so it never outlives this script.
mkfifo "$work/stdin"
(cd "$repo/tools/room-server" && exec node server.js <"$work/stdin" >"$work/ready" 2>"$work/server.log") &
server_pid=$!
exec 9>"$work/stdin"
for _ in $(seq 100); do grep -q ready "$work/ready" 2>/dev/null && break; sleep 0.1; done
read -r _ _ _ _ control_field <"$work/ready"
TAVREL_ROOM_SERVER=127.0.0.1:${control_field#control=} "$build/bench/sio_latency" "$count" 2>/dev/null
