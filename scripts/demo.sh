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

. "$repo/bench/room_lib.sh"
work=$(mktemp -d /tmp/tavrel-demo.XXXXXX)
# The agent waits for a running exam client before it ends; the stand-in stays a few seconds only.
agent_grace_s=15
room_on_exit

lay_agent_tree "$work"
cp "$agent_exe" "$work/Agent/TavrelAgent"
cp "$stub_exe" "$work/Agent/Tavrel.exe"
echo "stay_ms=8000" >"$work/Agent/exam_client_control.txt"
echo "what the exam client wrote during the demo exam" >"$work/log/Tavrel.log"

# The room: the start is allowed 4 s after registration, a ping every 4 s and a harmless broadcast every
# 5 s (1006 lets the Windows keys work again, 1001 is a notice the agent only logs).
mkfifo "$work/server.out" "$work/server.err"
node tools/room-server/server.js --demo --demo-start-ms 4000 --demo-ping-ms 4000 --demo-broadcast-ms 5000 \
  </dev/null >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
sed -u 's/^/  [server] /' <"$work/server.err" | tee "$work/server.log" &
room_last_pids+=($!)
exec 3<"$work/server.out"
read -r ready <&3
http_port=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' <<<"$ready")
socket_port=$(sed -n 's/.*socket=\([0-9]*\).*/\1/p' <<<"$ready")
[ -n "$http_port" ] && [ -n "$socket_port" ] || { echo "demo: the room server did not start: $ready" >&2; exit 1; }

write_shell_ini "$work/Agent/shell.ini" 127.0.0.1 "$http_port" "$socket_port" Tavrel考试系统
echo "demo: installation tree $work, exam server on 127.0.0.1:$http_port (HTTP) and :$socket_port (Socket.IO)"

# The agent runs as root but without the right to power off or restart this machine. What reaches its
# standard output is the stand-in exam client's report of its command line.
mkfifo "$work/agent.out" "$work/agent.err"
sed -u 's/^/  [exam client] /' <"$work/agent.out" &
room_last_pids+=($!)
sed -u 's/^/  [agent stderr] /' <"$work/agent.err" &
room_last_pids+=($!)
TAVREL_EXAM_CLIENT_ECHO=1 setpriv --bounding-set -sys_boot -- "$work/Agent/TavrelAgent" \
  </dev/null >"$work/agent.out" 2>"$work/agent.err" &
agent_pid=$!
agent_pids=("$agent_pid")
log=""
for _ in $(seq 1 100); do
  log=$(ls "$work"/Agent/log/TavrelAgent.*.log 2>/dev/null | head -n 1 || true)
  [ -n "$log" ] && break
  sleep 0.1
done
[ -n "$log" ] || { echo "demo: the agent wrote no log" >&2; exit 1; }
tail -n +1 -F "$log" 2>/dev/null | sed -u 's/^/  [agent]  /' &
room_last_pids+=($!)

# Until the exam client's log has arrived at the server, and a little longer to see the room settle.
for _ in $(seq 1 $((limit * 2))); do
  grep -q "uploaded its exam client log" "$work/server.log" 2>/dev/null && { sleep 3; break; }
  sleep 0.5
done
echo "demo: stopping the agent"
kill -TERM "$agent_pid" 2>/dev/null || true
for _ in $(seq 1 150); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$agent_pid" 2>/dev/null && { echo "demo: the agent did not end within 15 s" >&2; kill -KILL "$agent_pid"; }
if wait "$agent_pid"; then echo "demo: the agent ended with exit code 0"; else echo "demo: the agent ended with exit code $?"; fi
agent_pids=()
