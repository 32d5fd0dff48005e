#!/usr/bin/env bash
# README command 1: builds the Linux agent, lays out an installation tree in a temporary folder, starts
# tools/room-server in demo mode and the agent against it, shows what happens, and stops by itself.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
seconds=${TAVREL_DEMO_SECONDS:-45}

bash scripts/setup.sh >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux --target TavrelAgent exam_client_stub >/dev/null 2>&1 ||
  cmake --build --preset linux --target TavrelAgent >/dev/null

root=$(mktemp -d /tmp/tavrel-demo.XXXXXX)
server_pid=""
agent_pid=""
finish() {
  [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  pkill -f "$root/" 2>/dev/null || true
  rm -rf "$root"
}
trap finish EXIT

mkdir -p "$root/Agent" "$root/Modules" "$root/Temp" "$root/log" "$root/ExamData/nrvq"
cp build/linux/TavrelAgent "$root/Agent/"
if [ -x build/linux/tests/bin/exam_client_stub ]; then
  cp build/linux/tests/bin/exam_client_stub "$root/Agent/Tavrel.exe"
fi

fifo="$root/server.out"
mkfifo "$fifo"
node tools/room-server/server.js --demo >"$fifo" 2>&1 &
server_pid=$!
exec 3<"$fifo"
read -r ready <&3
echo "$ready"
http_port=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' <<<"$ready")
socket_port=$(sed -n 's/.*socket=\([0-9]*\).*/\1/p' <<<"$ready")
cat >"$root/Agent/shell.ini" <<INI
[Server]
Server=127.0.0.1
ServerPort=$http_port
SocketPort=$socket_port
[Application]
AppTitle=Tavrel考试系统
INI
sed 's/^/  [server] /' <&3 &

echo "installation tree: $root"
"$root/Agent/TavrelAgent" &
agent_pid=$!
log="$root/log/TavrelAgent.$(date +%Y%m%d).log"
for _ in $(seq 1 50); do [ -f "$log" ] && break; sleep 0.1; done
tail -n +1 -f "$log" 2>/dev/null | sed 's/^/  [agent]  /' &
sleep "$seconds"
echo "demo: stopping after ${seconds} s"
kill -TERM "$agent_pid" 2>/dev/null || true
wait "$agent_pid" 2>/dev/null || true
agent_pid=""
sleep 0.5
