#!/usr/bin/env bash
# A whole exam room on this machine: tools/room-server in demo mode and N real Linux agents, each in its own
# network namespace (a veth pair to a bridge, its own MAC and IPv4 address), its own PID and UTS namespace
# (so "the exam client runs" and the single-instance lock are its own) and its own installation tree with a
# stub exam client. The bridge and the server live in a hub namespace of their own: no address, route or
# packet of the run ever touches the host's network.
#
# It drives a scripted exam (registration and join, a "ping" to the room, a restart of the server's
# Socket.IO side, a start, an update) and prints one JSON line of figures; the timeline plot goes beside it
# (room-<N>.svg, and room-<N>.json, in TAVREL_ROOM_OUT or the current folder). Asserts nothing about time;
# exits 1 when a phase did not complete for the whole room.
#
#   bench/room.sh [N=50]        TAVREL_ROOM_BUILD=<build folder> (default build/linux-static, else build/linux)
#                               TAVREL_ROOM_KEEP=1 keeps the installation trees and logs (the path is printed)
#
# Needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN) for the namespaces. Everything it made is removed on exit,
# also on Ctrl-C or SIGTERM.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-50}
[[ "$count" =~ ^[0-9]+$ ]] && ((count >= 1 && count <= 1000)) || { echo "room.sh: N must be 1..1000" >&2; exit 2; }

if [ -n "${TAVREL_ROOM_BUILD:-}" ]; then
  build=$TAVREL_ROOM_BUILD
elif [ -x "$repo/build/linux-static/TavrelAgent" ]; then
  build=$repo/build/linux-static
else
  build=$repo/build/linux
fi
agent_exe=$build/TavrelAgent
stub_exe=$build/tests/bin/exam_client_stub
installer_exe=$build/tests/bin/installer_probe
for f in "$agent_exe" "$stub_exe" "$installer_exe"; do
  [ -x "$f" ] || { echo "room.sh: $f is missing: build TavrelAgent exam_client_stub installer_probe first" >&2; exit 2; }
done
out_dir=${TAVREL_ROOM_OUT:-$PWD}
mkdir -p "$out_dir"

# Names unique to this run, so two runs (a developer's and CI's) never meet. TAVREL_ROOM_TAG (letters and
# digits, at most 10) lets a caller know them beforehand.
tag=${TAVREL_ROOM_TAG:-tvr$$}
[[ "$tag" =~ ^[a-z0-9]{1,10}$ ]] || { echo "room.sh: TAVREL_ROOM_TAG must be 1-10 lower-case letters or digits" >&2; exit 2; }
# Every process of the run carries this, so a check afterwards can tell whether any was left behind.
export TAVREL_ROOM_RUN=$tag
hub=$tag-hub
work=$(mktemp -d "${TMPDIR:-/tmp}/room.XXXXXX")
made_namespaces=()
agent_pids=()
init_pids=()
launchers=()
server_pid=
driver_pid=

cleanup() {
  set +e
  trap - INT TERM
  # Each agent ends in order first; then the PID 1 of each namespace goes, and the kernel takes whatever else
  # was left in there (exam clients, installers).
  local pid
  [ -n "$driver_pid" ] && kill -TERM "$driver_pid" 2>/dev/null
  for pid in "${agent_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  local state
  for _ in $(seq 1 50); do
    local alive=0
    for pid in "${agent_pids[@]}"; do
      # An agent that has ended stays a zombie under its PID 1 (which never reaps): that counts as ended.
      state=Z
      read -r _ _ state _ <"/proc/$pid/stat" 2>/dev/null
      [ "$state" != Z ] && { alive=1; break; }
    done
    ((alive)) || break
    sleep 0.1
  done
  for pid in "${init_pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  # unshare hands its own end on to its PID 1 (--kill-child), so this also reaches agents not yet known.
  for pid in "${launchers[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wait 2>/dev/null
  if ((${#made_namespaces[@]})); then
    printf 'netns del %s\n' "${made_namespaces[@]}" | ip -force -batch - 2>/dev/null
  fi
  if [ -n "${TAVREL_ROOM_KEEP:-}" ]; then echo "room.sh: trees and logs kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Refuse plainly where namespaces cannot be made, instead of failing half-way.
if ! ip netns add "$hub" 2>"$work/netns.err"; then
  echo "room.sh: cannot make network namespaces ($(head -c 200 "$work/netns.err")); run it as root" \
       "(it needs CAP_SYS_ADMIN and CAP_NET_ADMIN)" >&2
  exit 77
fi
made_namespaces+=("$hub")
unshare --pid --uts --fork --mount-proc true 2>/dev/null ||
  { echo "room.sh: cannot make PID and UTS namespaces; run it as root" >&2; exit 77; }

# The test subnet 10.77.0.0/16 exists only inside this run's namespaces: the hub holds 10.77.0.1 on its bridge.
mac_of() { printf '02:54:56:00:%02x:%02x' $(($1 / 256)) $(($1 % 256)); }
ip_of() { printf '10.77.%d.%d' $(($1 / 250 + 1)) $(($1 % 250 + 2)); }
name_of() { printf '%s-a%d' "$tag" "$1"; }

{
  for i in $(seq 1 "$count"); do echo "netns add $(name_of "$i")"; done
} >"$work/netns.batch"
ip -batch "$work/netns.batch"
for i in $(seq 1 "$count"); do made_namespaces+=("$(name_of "$i")"); done
{
  echo "link set lo up"
  # A bridge takes the lowest MAC of its ports unless it has its own: every new port would change the
  # gateway's MAC under the agents already running, whose ARP entries then point nowhere for half a minute.
  echo "link add br0 address 02:54:56:ff:ff:01 type bridge"
  echo "addr add 10.77.0.1/16 dev br0"
  echo "link set br0 up"
  for i in $(seq 1 "$count"); do
    echo "link add v$i type veth peer name eth0 netns $(name_of "$i")"
    echo "link set v$i master br0 up"
  done
} >"$work/hub.batch"
ip -n "$hub" -batch "$work/hub.batch"
for i in $(seq 1 "$count"); do
  printf 'link set lo up\nlink set eth0 address %s\naddr add %s/16 dev eth0\nlink set eth0 up\nroute add default via 10.77.0.1\n' \
    "$(mac_of "$i")" "$(ip_of "$i")" | ip -n "$(name_of "$i")" -batch -
done

# The room-server plays the room but sends no pings, broadcasts or starts of its own: the script drives them.
. "$repo/bench/room_server.sh"
never=2000000000
room_server_launcher=(ip netns exec "$hub")
start_room_server "$work" --demo --host 0.0.0.0 --demo-start-ms $never --demo-ping-ms $never --demo-broadcast-ms $never
[ -n "${http:-}" ] && [ -n "${control:-}" ] || { echo "room.sh: the room-server did not start" >&2; cat "$work/server.log" >&2; exit 1; }

# One installation tree per PC; the program files are hard links where the file system allows.
place() { ln "$1" "$2" 2>/dev/null || cp "$1" "$2"; }
for i in $(seq 1 "$count"); do
  t=$work/pc$i
  mkdir -p "$t/Agent" "$t/Modules" "$t/Temp" "$t/log" "$t/ExamData/nrvq"
  place "$agent_exe" "$t/Agent/TavrelAgent"
  place "$stub_exe" "$t/Agent/Tavrel.exe"
  # The exam lasts until the script lets the stub go (exam_client_release).
  echo "stay_ms=600000" >"$t/Agent/exam_client_control.txt"
  echo "what the exam client wrote" >"$t/log/Tavrel.log"
  printf '[Server]\r\nServer=10.77.0.1\r\nServerPort=%s\r\nSocketPort=%s\r\n[Application]\r\nAppTitle=Tavrel\r\n' \
    "$http" "$socket" >"$t/Agent/shell.ini"
done

# The agents start one after the other as fast as the machine allows; the clock of the figures starts when the
# last one has been started. None may power off or restart this machine.
first_started=$(date +%s%3N)
: >"$work/agents.txt"
for i in $(seq 1 "$count"); do
  t=$work/pc$i
  # PID 1 of the namespace stays while the agent comes and goes: an installer the agent starts outlives it,
  # as on a PC (when PID 1 ends, the kernel ends everything in its namespace).
  ip netns exec "$(name_of "$i")" unshare --pid --uts --fork --mount-proc --kill-child=KILL -- \
    sh -c 'hostname "$1" && mount -t tmpfs -o mode=0755,size=1m pc-run /run && setpriv --bounding-set -sys_boot -- "$2" & exec sleep 100000' sh "PC$i" "$t/Agent/TavrelAgent" \
    </dev/null >"$t/agent.out" 2>"$t/agent.err" &
  launchers+=($!)
done
last_started=$(date +%s%3N)
# unshare forks PID 1 of the namespace, which starts the agent: the agent is the process whose figures count.
for i in $(seq 1 "$count"); do
  launcher=${launchers[$((i - 1))]}
  init= agent=
  for _ in $(seq 1 500); do
    [ -n "$init" ] || init=$(awk '{ print $1 }' "/proc/$launcher/task/$launcher/children" 2>/dev/null)
    [ -n "$init" ] && agent=$(awk '{ print $1 }' "/proc/$init/task/$init/children" 2>/dev/null)
    [ -n "$agent" ] && break
    sleep 0.01
  done
  [ -n "$agent" ] || { echo "room.sh: agent $i did not start" >&2; exit 1; }
  init_pids+=("$init")
  agent_pids+=("$agent")
  printf '%s %s %s %s\n' "$i" "$agent" "$(mac_of "$i" | tr 'a-f:' 'A-F-')" "$work/pc$i" >>"$work/agents.txt"
done

# The driver runs in the background so that a signal reaches the trap at once, not when the driver is done.
set +e
ip netns exec "$hub" python3 "$repo/bench/room_drive.py" --control "127.0.0.1:$control" --agents "$work/agents.txt" \
  --installer "$installer_exe" --first-started "$first_started" --last-started "$last_started" \
  --json "$out_dir/room-$count.json" --svg "$out_dir/room-$count.svg" &
driver_pid=$!
wait "$driver_pid"
status=$?
driver_pid=
set -e
exit "$status"
