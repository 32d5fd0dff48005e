#!/usr/bin/env bash
# Runs a command beside a fresh tools/room-server (the exam-server peer) and returns the command's exit code.
#
#   tests/with-room-server.sh CMD ARGS...
#
# The command finds the server's control interface in TAVREL_ROOM_SERVER=127.0.0.1:<control port>; Wine passes
# the variable on, so "tests/with-room-server.sh scripts/wine-run.sh test.exe" works as well.
#   TAVREL_ROOM_SERVER_ARGS  extra server options, e.g. "--ping-interval 200 --ping-timeout 200"
#   TAVREL_ROOM_SERVER_LOG   file for the server's stderr (default: a temporary file, shown if CMD fails)
#   NODE                     node binary (default: node)
set -u

if [ "$#" -eq 0 ]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
server_dir="$repo/tools/room-server"
node_bin=${NODE:-node}

if ! command -v "$node_bin" >/dev/null 2>&1; then
  echo "with-room-server: $node_bin not found (Node.js 20 is needed for tools/room-server)" >&2
  exit 127
fi
if [ ! -d "$server_dir/node_modules/socket.io" ]; then
  echo "with-room-server: installing tools/room-server dependencies (npm ci)" >&2
  (cd "$server_dir" && npm ci --no-audit --no-fund --loglevel=error) >&2 || {
    echo "with-room-server: npm ci failed in $server_dir" >&2
    exit 127
  }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/room-server.XXXXXX")
log=${TAVREL_ROOM_SERVER_LOG:-$work/server.log}
server_pid=

cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$server_pid" 2>/dev/null
  fi
  wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# shellcheck disable=SC2086  # the extra options are meant to be split into words
"$node_bin" "$server_dir/server.js" ${TAVREL_ROOM_SERVER_ARGS:-} </dev/null >"$work/ready" 2>"$log" &
server_pid=$!

control=
for _ in $(seq 1 200); do
  if read -r line <"$work/ready" 2>/dev/null && [[ $line =~ ^room-server\ ready\ http=([0-9]+)\ socket=([0-9]+)\ control=([0-9]+)$ ]]; then
    control=${BASH_REMATCH[3]}
    break
  fi
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "with-room-server: room-server exited before it was ready:" >&2
    cat "$log" >&2
    exit 125
  fi
  sleep 0.1
done
if [ -z "$control" ]; then
  echo "with-room-server: room-server not ready after 20 s" >&2
  cat "$log" >&2
  exit 125
fi

export TAVREL_ROOM_SERVER="127.0.0.1:$control"
"$@"
rc=$?
if [ "$rc" -ne 0 ] && [ -z "${TAVREL_ROOM_SERVER_LOG:-}" ] && [ -s "$log" ]; then
  echo "with-room-server: room-server's log (last 40 lines):" >&2
  tail -n 40 "$log" >&2
fi
exit "$rc"
