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
# With --hold MINUTES it plays an exam day instead (bench/room_hold.py): all register, join and start, and the
# room stays in its exam that long, with a "ping" every 25 s and a round of commands every 5 minutes (or
# --rounds MINUTES); the figures (drops, late or missing acks, growth per agent per hour) go to
# room-<N>-hold.json. Not for CI: a day is long.
#
# With --exam-start it plays the start of an exam instead (bench/room_start.py): all register and join, then
# every PC is told to start at once and fetches a module of --module-mib MiB (default 16) through the server's
# one link of --link-mib MiB/s (default 40; the room-server's --egress-limit); it prints the time until every
# exam client runs beside the floor (N x module / link), the slowest PC, retries, bytes continued by Range
# requests and peak memory per agent, to room-<N>-start.json. --cut-link SECONDS takes the server's link down
# for that long in the middle of the floor.
#
#   bench/room.sh [N=50] [--hold MINUTES [--rounds MINUTES]]
#   bench/room.sh [N=50] --exam-start [--module-mib MIB] [--link-mib MIB_PER_S] [--cut-link SECONDS]
#                               TAVREL_ROOM_BUILD=<build folder> (default build/linux-static, else build/linux)
#                               TAVREL_ROOM_KEEP=1 keeps the installation trees and logs (the path is printed)
#
# Needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN) for the namespaces. Everything it made is removed on exit,
# also on Ctrl-C or SIGTERM.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
# Nothing the room starts may power off or restart this machine: the whole run goes without the right to.
if [ "$(id -u)" = 0 ] && [ -z "${TAVREL_ROOM_NO_BOOT:-}" ]; then
  exec env TAVREL_ROOM_NO_BOOT=1 setpriv --bounding-set -sys_boot -- bash "$0" "$@"
fi
count=50
hold=
rounds=5
exam_start=
module_mib=16
link_mib=40
cut_link=0
usage() {
  echo "usage: room.sh [N=50] [--hold MINUTES [--rounds MINUTES]]" >&2
  echo "       room.sh [N=50] --exam-start [--module-mib MIB] [--link-mib MIB_PER_S] [--cut-link SECONDS]" >&2
  exit 2
}
while (($#)); do
  case $1 in
    --hold) (($# >= 2)) || usage; hold=$2; shift 2 ;;
    --rounds) (($# >= 2)) || usage; rounds=$2; shift 2 ;;
    --exam-start) exam_start=1; shift ;;
    --module-mib) (($# >= 2)) || usage; module_mib=$2; shift 2 ;;
    --link-mib) (($# >= 2)) || usage; link_mib=$2; shift 2 ;;
    --cut-link) (($# >= 2)) || usage; cut_link=$2; shift 2 ;;
    [0-9]*) count=$1; shift ;;
    *) usage ;;
  esac
done
[[ "$count" =~ ^[0-9]+$ ]] && ((count >= 1 && count <= 1000)) || { echo "room.sh: N must be 1..1000" >&2; exit 2; }
[[ -z "$hold" || "$hold" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "room.sh: --hold takes minutes" >&2; exit 2; }
[[ "$rounds" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "room.sh: --rounds takes minutes" >&2; exit 2; }
for v in "$module_mib" "$link_mib" "$cut_link"; do
  [[ "$v" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "room.sh: --module-mib, --link-mib and --cut-link take numbers" >&2; exit 2; }
done
[[ -z "$exam_start" || -z "$hold" ]] || { echo "room.sh: --exam-start and --hold are two runs" >&2; exit 2; }

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
peer_exe=$build/bench/room_peer
for f in "$agent_exe" "$stub_exe" "$installer_exe" "$peer_exe"; do
  [ -x "$f" ] || { echo "room.sh: $f is missing: build TavrelAgent exam_client_stub installer_probe room_peer first" >&2; exit 2; }
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
. "$repo/bench/room_lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/room.XXXXXX")
keep_work=${TAVREL_ROOM_KEEP:-}
made_namespaces=()
launchers=()
# Each agent ends in order first; then the PID 1 of each namespace goes (room_kill_pids), and the kernel takes
# whatever else was left in there (exam clients, installers). unshare hands its own end on to its PID 1
# (--kill-child), so killing the launchers also reaches agents not yet known.
agent_grace_s=5
room_cleanup_more() {
  if ((${#made_namespaces[@]})); then
    printf 'netns del %s\n' "${made_namespaces[@]}" | ip -force -batch - 2>/dev/null
  fi
}
room_on_exit

# Refuse plainly where namespaces cannot be made, instead of failing half-way.
if ! ip netns add "$hub" 2>"$work/netns.err"; then
  echo "room.sh: cannot make network namespaces ($(head -c 200 "$work/netns.err")); run it as root" \
       "(it needs CAP_SYS_ADMIN and CAP_NET_ADMIN)" >&2
  exit 77
fi
made_namespaces+=("$hub")
unshare --net --pid --uts --fork --mount-proc true 2>/dev/null ||
  { echo "room.sh: cannot make network, PID and UTS namespaces; run it as root" >&2; exit 77; }

# Progress goes to stderr while the room is laid out: a room of 1000 takes a minute or two before the first figure.
began=${EPOCHREALTIME/./}
progress() { local now=${EPOCHREALTIME/./}; printf 'room.sh: %s (%d.%d s)\n' "$1" $(((now - began) / 1000000)) $(((now - began) / 100000 % 10)) >&2; }
# In a loop over the room: a line every `tick` PCs and at the last.
tick=$((count > 250 ? 250 : count))
step_done() { (($1 % tick == 0 || $1 == count)) && progress "$2 $1/$count"; return 0; }

# The test subnet 10.77.0.0/16 exists only inside this run's namespaces: the hub holds 10.77.0.1 on its bridge.
# The MAC and address of PC i (without a fork: the loops below run once per PC).
mac_of() { printf -v mac '02:54:56:00:%02x:%02x' $(($1 / 256)) $(($1 % 256)); }
ip_of() { printf -v addr '10.77.%d.%d' $(($1 / 250 + 1)) $(($1 % 250 + 2)); }
gateway_mac=02:54:56:ff:ff:01

# The room-server plays the room but sends no pings, broadcasts or starts of its own: the script drives them.
never=2000000000
room_server_launcher=(ip netns exec "$hub")
# In the exam start the server's link is the limit every module transfer shares.
link_limit=()
[ -n "$exam_start" ] && link_limit=(--egress-limit "$(awk -v m="$link_mib" 'BEGIN { printf "%d", m * 1048576 }')")
start_room_server "$work" --demo --host 0.0.0.0 --demo-start-ms $never --demo-ping-ms $never --demo-broadcast-ms $never \
  "${link_limit[@]}"
[ -n "${http:-}" ] && [ -n "${control:-}" ] || { echo "room.sh: the room-server did not start" >&2; cat "$work/server.log" >&2; exit 1; }

# One installation tree per PC, laid out with a handful of processes for the whole room; the program files are
# hard links where the file system allows.
if [ -n "$hold" ]; then
  # The stand-in exam client of the tests stays ten minutes at most; a day's exam client stays until the room
  # is taken down. The agent knows its exam client by the process name, which is the script's own.
  stub_exe=$work/day_exam_client
  printf '%s\n' '#!/bin/sh' 'echo "call $$" >>"${0%/*}/exam_client_calls.log"' 'sleep 100000' >"$stub_exe"
  chmod +x "$stub_exe"
fi
trees=()
for i in $(seq 1 "$count"); do trees+=("$work/pc$i"); done
lay_agent_tree "${trees[@]}"
python3 - "$agent_exe" "$stub_exe" "${trees[@]}" <<'EOF_LINK'
import os, shutil, sys
agent, stub, trees = sys.argv[1], sys.argv[2], sys.argv[3:]
for t in trees:
    for source, name in ((agent, "TavrelAgent"), (stub, "Tavrel.exe")):
        target = os.path.join(t, "Agent", name)
        try:
            os.link(source, target)
        except OSError:
            shutil.copy2(source, target)
EOF_LINK
# Each PC's PID 1 waits on its "go" (a FIFO) until its network is laid: the agent reads its identity at start.
gos=()
for t in "${trees[@]}"; do gos+=("$t/go"); done
mkfifo "${gos[@]}"
for t in "${trees[@]}"; do
  # The exam lasts until the script lets the stub go (exam_client_release).
  echo "stay_ms=600000" >"$t/Agent/exam_client_control.txt"
  echo "what the exam client wrote" >"$t/log/Tavrel.log"
  write_shell_ini "$t/Agent/shell.ini" 10.77.0.1 "$http" "$socket"
done
progress "$count installation trees laid out"

# Each PC is its own network, PID, UTS and mount namespace, made by unshare. Its PID 1 (a shell) waits on the
# PC's "go" (a FIFO) until the hub has handed it its end of the link, lays its own network (pc.net), takes its
# host name, a /run of its own (the agent's one-per-machine lock lives there) and starts the agent: the agent
# reads its identity at start. Then PID 1 stays, blocked on the FIFO
# again (a second open may still meet the release's writer and see its end: it opens once more), never reaping,
# while the agent comes and goes: an installer the agent starts outlives it, as on a PC
# (when PID 1 ends, the kernel ends everything in its namespace, and the network namespace goes with the last of
# them). Beside the agent each PC runs the reference PC (room_peer: joins the room REF101, answers "ping", nothing
# else), started by the agent's process before it becomes the agent, so the agent stays PID 1's first child and
# the peer is the agent's. Only the hub has a name in /run/netns: a named namespace is a mount, and every mount namespace made
# after it would copy them all. A PC costs six programs started (unshare, sh, ip, mount, the agent, the peer).
#
# Every neighbour of the room is a permanent entry on both sides, so no ARP is spoken at all. The kernel's
# neighbour thresholds (gc_thresh1/2/3) are not the namespace's own: one table per protocol holds the entries
# of every namespace of the machine, and outside the first namespace they cannot even be read. Left to ARP,
# a room of 1000 fills that table (its default hard limit is 1024 for the whole machine: the hub's entry for
# each PC and each PC's for the gateway) and overflows it for the host as well. Permanent entries are not
# counted against those thresholds. Nor is IPv6 brought up on the room's links (addrgenmode none): no
# link-local addresses, so no neighbour or router solicitations from 1000 PCs either.
for i in $(seq 1 "$count"); do
  t=$work/pc$i
  mac_of "$i"; ip_of "$i"
  ref=${mac^^}
  printf '%s\n' "link set lo up" "link set eth0 address $mac" "link set eth0 addrgenmode none" \
    "addr add $addr/16 dev eth0" "link set eth0 up" "route add default via 10.77.0.1" \
    "neigh add 10.77.0.1 lladdr $gateway_mac dev eth0 nud permanent" >"$t/pc.net"
  unshare --net --pid --uts --fork --mount-proc --kill-child=KILL -- \
    sh -c 'read -r _ <"$1/go"; ip -batch "$1/pc.net" && echo "$2" >/proc/sys/kernel/hostname &&
             mount -t tmpfs -o mode=0755,size=1m pc-run /run &&
             { "$3" "$4" "$5" REF101 >/dev/null 2>&1 & exec "$1/Agent/TavrelAgent"; } &
           while :; do read -r _ <"$1/go"; done' sh "$t" "PC$i" "$peer_exe" "http://10.77.0.1:$socket" "REF-${ref//:/-}" \
    </dev/null >"$t/agent.out" 2>"$t/agent.err" 9>&- &
  launchers+=($!)
  room_kill_pids+=($!)
  step_done "$i" "PCs made"
done
# A pause without starting a program: a read with a time-out on a FIFO nobody writes to.
mkfifo "$work/nap"
exec {nap}<>"$work/nap"
nap() { read -r -t "$1" -u "$nap" _ || true; }
# first_child PID TRIES: the first child of PID in $child, looking every 10 ms; empty when none came.
first_child() {
  child=
  local k
  for ((k = 0; k < $2; k++)); do
    # The file holds "pid " without a line end, so read reports the end of the file after taking the pid.
    read -r child _ 2>/dev/null <"/proc/$1/task/$1/children" || true
    [ -n "$child" ] && return 0
    nap 0.01
  done
}
init_pids=()
for i in $(seq 1 "$count"); do
  first_child "${launchers[$((i - 1))]}" 1000
  [ -n "$child" ] || { echo "room.sh: PC $i did not start" >&2; exit 1; }
  init_pids+=("$child")
  room_kill_pids+=("$child")
done
{
  echo "link set lo up"
  # A bridge takes the lowest MAC of its ports unless it has its own: every new port would change the
  # gateway's MAC under the agents already running.
  echo "link add br0 address $gateway_mac type bridge"
  echo "link set br0 addrgenmode none"
  echo "addr add 10.77.0.1/16 dev br0"
  echo "link set br0 up"
  for i in $(seq 1 "$count"); do
    mac_of "$i"; ip_of "$i"
    echo "link add v$i type veth peer name eth0 netns ${init_pids[$((i - 1))]}"
    echo "link set v$i addrgenmode none"
    echo "link set v$i master br0 up"
    echo "neigh add $addr lladdr $mac dev br0 nud permanent"
    # What a cut of the link takes away and its return lays again (--cut-link).
    echo "neigh replace $addr lladdr $mac dev br0 nud permanent" >&3
  done
} >"$work/hub.batch" 3>"$work/relink.batch"
ip -n "$hub" -batch "$work/hub.batch"
progress "the hub's bridge with $count ports"

# The agents start one after the other as fast as the machine allows; the clock of the figures starts when the
# last one has been started.
first_started=$(date +%s%3N)
for i in $(seq 1 "$count"); do
  # Opening the FIFO waits for its reader: a PID 1 that is gone would never open it.
  [ -d "/proc/${init_pids[$((i - 1))]}" ] || { echo "room.sh: PC $i ended before its agent started" >&2; exit 1; }
  echo go >"$work/pc$i/go"
done
last_started=$(date +%s%3N)
# PID 1 of each PC starts the agent: the agent is the process whose figures count.
: >"$work/agents.txt"
for i in $(seq 1 "$count"); do
  first_child "${init_pids[$((i - 1))]}" 3000
  agent=$child
  [ -n "$agent" ] || { echo "room.sh: agent $i did not start" >&2; exit 1; }
  agent_pids+=("$agent")
  first_child "$agent" 3000
  peer=$child
  [ -n "$peer" ] || { echo "room.sh: the reference PC $i did not start" >&2; exit 1; }
  mac_of "$i"
  mac=${mac^^}
  printf '%s %s %s %s %s\n' "$i" "$agent" "${mac//:/-}" "$work/pc$i" "$peer" >>"$work/agents.txt"
  step_done "$i" "agents started"
done

# The driver runs in the background so that a signal reaches the trap at once, not when the driver is done.
set +e
ip netns exec "$hub" python3 "$repo/bench/room_drive.py" --control "127.0.0.1:$control" --agents "$work/agents.txt" \
  --installer "$installer_exe" --first-started "$first_started" --last-started "$last_started" \
  --json "$out_dir/room-$count${hold:+-hold}${exam_start:+-start}.json" --svg "$out_dir/room-$count.svg" --server-pid "$server_pid" \
  ${hold:+--hold-minutes "$hold" --round-minutes "$rounds"} \
  ${exam_start:+--exam-start-mib "$module_mib" --link-mib-s "$link_mib" --cut-link-s "$cut_link" --relink "$work/relink.batch"} &
room_first_pids=($!)
wait "${room_first_pids[0]}"
status=$?
room_first_pids=()
set -e
exit "$status"
