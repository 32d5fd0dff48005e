#!/usr/bin/env bash
# README command 1: builds the Linux agent and a stand-in exam client, lays out an installation tree in a
# temporary folder (Agent with shell.ini and Tavrel.exe, Modules, Temp, log, ExamData), starts
# tools/room-server in demo mode and the agent against it, and shows the road of an exam start as it
# happens: registration, number and room, the command channel, the module, the exam client with its ten
# arguments, the server's harmless commands, the exam client's end and its log upload. It stops by itself
# (after the upload, or after TAVREL_DEMO_SECONDS, default 75) and leaves nothing running.
#
#   TAVREL_DEMO_BUILD=<build folder>   use an existing build instead of building the "linux" preset
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
limit=${TAVREL_DEMO_SECONDS:-75}

if [ -n "${TAVREL_DEMO_BUILD:-}" ]; then
  build=$TAVREL_DEMO_BUILD
else
  echo "demo: preparing the machine and building the agent (first run takes a while)"
  TAVREL_SKIP_WIN_DEPS=1 bash scripts/setup.sh >/dev/null
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target TavrelAgent exam_client_stub >/dev/null
  build=$repo/build/linux
fi
agent_exe=$build/TavrelAgent
stub_exe=$build/tests/bin/exam_client_stub
for f in "$agent_exe" "$stub_exe"; do
  [ -x "$f" ] || { echo "demo: $f is missing" >&2; exit 1; }
done

root=$(mktemp -d /tmp/tavrel-demo.XXXXXX)
server_pid=""
agent_pid=""
viewers=()
finish() {
  set +e
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid"
    # The agent waits for a running exam client before it ends; the stand-in stays a few seconds only.
    for _ in $(seq 1 150); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$agent_pid" 2>/dev/null
  fi
  [ -n "$agent_pid" ] && wait "$agent_pid" 2>/dev/null
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid"
    wait "$server_pid" 2>/dev/null
  fi
  for pid in "${viewers[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$root"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$root/Agent" "$root/Modules" "$root/Temp" "$root/log" "$root/ExamData/nrvq"
cp "$agent_exe" "$root/Agent/TavrelAgent"
cp "$stub_exe" "$root/Agent/Tavrel.exe"
echo "stay_ms=8000" >"$root/Agent/exam_client_control.txt"
echo "what the exam client wrote during the demo exam" >"$root/log/Tavrel.log"

# The room: the start is allowed 4 s after registration, a ping every 4 s and a harmless broadcast every
# 5 s (1006 lets the Windows keys work again, 1001 is a notice the agent only logs).
mkfifo "$root/server.out" "$root/server.err"
node tools/room-server/server.js --demo --demo-start-ms 4000 --demo-ping-ms 4000 --demo-broadcast-ms 5000 \
  </dev/null >"$root/server.out" 2>"$root/server.err" &
server_pid=$!
sed -u 's/^/  [server] /' <"$root/server.err" | tee "$root/server.log" &
viewers+=($!)
exec 3<"$root/server.out"
read -r ready <&3
http_port=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' <<<"$ready")
socket_port=$(sed -n 's/.*socket=\([0-9]*\).*/\1/p' <<<"$ready")
[ -n "$http_port" ] && [ -n "$socket_port" ] || { echo "demo: the room server did not start: $ready" >&2; exit 1; }

printf '[Server]\r\nServer=127.0.0.1\r\nServerPort=%s\r\nSocketPort=%s\r\n[Application]\r\nAppTitle=Tavrel考试系统\r\n' \
  "$http_port" "$socket_port" >"$root/Agent/shell.ini"
echo "demo: installation tree $root, exam server on 127.0.0.1:$http_port (HTTP) and :$socket_port (Socket.IO)"

# The agent runs as root but without the right to power off or restart this machine. What reaches its
# standard output is the stand-in exam client's report of its command line.
mkfifo "$root/agent.out" "$root/agent.err"
sed -u 's/^/  [exam client] /' <"$root/agent.out" &
viewers+=($!)
sed -u 's/^/  [agent stderr] /' <"$root/agent.err" &
viewers+=($!)
TAVREL_EXAM_CLIENT_ECHO=1 setpriv --bounding-set -sys_boot -- "$root/Agent/TavrelAgent" \
  </dev/null >"$root/agent.out" 2>"$root/agent.err" &
agent_pid=$!
log=""
for _ in $(seq 1 100); do
  log=$(ls "$root"/log/TavrelAgent.*.log 2>/dev/null | head -n 1 || true)
  [ -n "$log" ] && break
  sleep 0.1
done
[ -n "$log" ] || { echo "demo: the agent wrote no log" >&2; exit 1; }
tail -n +1 -F "$log" 2>/dev/null | sed -u 's/^/  [agent]  /' &
viewers+=($!)

# Until the exam client's log has arrived at the server, and a little longer to see the room settle.
for _ in $(seq 1 $((limit * 2))); do
  grep -q "uploaded its exam client log" "$root/server.log" 2>/dev/null && { sleep 3; break; }
  sleep 0.5
done
echo "demo: stopping the agent"
kill -TERM "$agent_pid" 2>/dev/null || true
for _ in $(seq 1 150); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$agent_pid" 2>/dev/null && { echo "demo: the agent did not end within 15 s" >&2; kill -KILL "$agent_pid"; }
if wait "$agent_pid"; then echo "demo: the agent ended with exit code 0"; else echo "demo: the agent ended with exit code $?"; fi
agent_pid=""
