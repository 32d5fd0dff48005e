#!/usr/bin/env bash
# The Linux agent with its real timers against a hostile or busy room-server: joins per second while the
# server ends "/" on every join, peak resident memory around a 30 MB frame, and the time from a 1005 sent
# to its log line while an answer upload hangs for 5 s. Prints the figures; asserts nothing.
#
#   bench/hostile_room.sh [linux build folder] [seconds of kicking]
# Defaults: build/linux, 30.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
linux_build=${1:-$repo/build/linux}
seconds=${2:-30}
[ -x "$linux_build/TavrelAgent" ] || { echo "no $linux_build/TavrelAgent: build it first" >&2; exit 2; }

. "$repo/bench/room_lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/hostile.XXXXXX")
room_on_exit
start_room_server "$work"
count() { grep -o "$1" | wc -l; }
now_ms() { date +%s%3N; }

ctl POST /answer '{"route":"getStartupInfoAgent","data":{"ecpId":1,"ecpRoomCode":"R101","isStartup":false}}' >/dev/null
lay_agent_tree "$work/t"
write_shell_ini "$work/t/Agent/shell.ini" 127.0.0.1 "$http" "$socket"
cp "$linux_build/TavrelAgent" "$work/t/Agent/TavrelAgent"
setpriv --bounding-set -sys_boot -- "$work/t/Agent/TavrelAgent" </dev/null >"$work/agent.out" 2>&1 &
agent_pid=$!
agent_pids=("$agent_pid")
ctl GET "/sockets" >/dev/null
for _ in $(seq 1 300); do ctl GET /sockets | grep -q '"nsp":"/"' && break; sleep 0.1; done
agent_log() { cat "$work"/t/Agent/log/TavrelAgent.*.log 2>/dev/null; }

# 1. A server that ends "/" on every join.
ctl POST /socket/kick-on-join '{"nsp":"/"}' >/dev/null
before=$(ctl GET "/events?kind=connect&dir=in" | count '"kind":"connect"')
ctl POST /disconnect '{"all":true}' >/dev/null
sleep "$seconds"
after=$(ctl GET "/events?kind=connect&dir=in" | count '"kind":"connect"')
ctl POST /socket/kick-on-join '{"nsp":"/","on":false}' >/dev/null
joins=$((after - before))
awk -v j="$joins" -v s="$seconds" 'BEGIN { printf "kick on every join: %d joins in %d s = %.2f joins/s\n", j, s, j / s }'
for _ in $(seq 1 600); do ctl GET /sockets | grep -q '"nsp":"/"' && break; sleep 0.1; done

# 2. A slow answer upload and a 1005 sent while it runs.
ctl POST /fault '{"route":"uploadRecoverAnswer","kind":"delay","ms":5000}' >/dev/null
ctl POST /emit '{"all":true,"event":"broadcast","args":[{"code":2002,"data":{"examineeId":"E1","taskId":"T1","batchNum":"B1"}}]}' >/dev/null
ctl GET "/requests?route=uploadRecoverAnswer&min=1&wait=10000" >/dev/null
sent=$(now_ms)
ctl POST /emit '{"all":true,"event":"broadcast","args":[{"code":1006}]}' >/dev/null
logged=
for _ in $(seq 1 2000); do
  if agent_log | grep -q 'code：\[1006\]'; then logged=$(now_ms); break; fi
  sleep 0.005
done
echo "1006 sent during a 5 s upload: logged after $((logged - sent)) ms (the log file is polled every 5 ms)"

# 3. One frame of 30 MB.
ctl POST /socket/large-frame '{"all":true,"size":30000000}' >/dev/null
sleep 3
for _ in $(seq 1 300); do ctl GET /sockets | grep -q '"nsp":"/"' && break; sleep 0.1; done
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$agent_pid/status")
back=$(ctl GET /sockets | count '"nsp":"/"')
awk -v p="$peak" -v b="$back" 'BEGIN { printf "30 MB frame: peak resident %.1f MB; back in its room: %s\n", p / 1024, (b > 0 ? "yes" : "no") }'
