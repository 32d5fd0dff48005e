#!/usr/bin/env bash
# What the idle agent costs a PC that runs it all day: resident memory and CPU share over a minute of
# polling a room-server that keeps it idle (numbered, in its room, channel open, no exam). Goals for the
# linux-static build: at most 6 MB resident, 1.5 MB private dirty and 0.05 % of one core. Each Linux build is
# measured speaking plain HTTP and again with Scheme=https (TLS to the room-server's own CA). Prints the
# figures; asserts nothing.
#
#   bench/footprint.sh [linux build folders, comma-separated] [windows build folder] [seconds]
# Defaults: build/linux-static,build/linux (those that hold a TavrelAgent), build/windows (skipped when it
# holds no TavrelAgent.exe), 60.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
# The agent allows one of itself per /run (its lock file), and other agents may run on this machine: the
# measurement runs in a network and mount namespace of its own with a /run of its own, with loopback for the server and an adapter with a default
# route (one end of a veth pair) that gives the agent its identity.
if [ -z "${TAVREL_FOOTPRINT_NETNS:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "footprint.sh: needs root to run in a network namespace of its own" >&2; exit 77; }
  exec unshare --net --mount -- env TAVREL_FOOTPRINT_NETNS=1 bash -c \
    'mount -t tmpfs -o mode=0755,size=8m footprint-run /run && ip link set lo up && ip link add d0 type veth peer name d1 && ip link set d1 up && ip addr add 10.78.0.2/24 dev d0 && ip link set d0 up &&
     ip route add default via 10.78.0.1 dev d0 && exec bash "$0" "$@"' "$0" "$@"
fi
linux_builds=${1:-$repo/build/linux-static,$repo/build/linux}
windows_build=${2:-$repo/build/windows}
seconds=${3:-60}
linux_list=()
IFS=, read -r -a candidates <<<"$linux_builds"
for b in "${candidates[@]}"; do [ -x "$b/TavrelAgent" ] && linux_list+=("$b"); done
((${#linux_list[@]})) || { echo "no TavrelAgent in $linux_builds: build it first" >&2; exit 2; }

. "$repo/bench/room_lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/footprint.XXXXXX")
room_on_exit
start_room_server "$work"

# Every machine is number 1 in room R101 and may not start: each pass asks and finds nothing to do.
ctl POST /answer '{"route":"getStartupInfoAgent","data":{"ecpId":1,"ecpRoomCode":"R101","isStartup":false}}' >/dev/null

tree() {
  lay_agent_tree "$1"
  write_shell_ini "$1/Agent/shell.ini" 127.0.0.1 "$http" "$socket"
}

# Waits for the agent's channel, lets it settle, then samples for the given time.
#   measure <label> <pid whose memory and CPU count>
measure() {
  local label=$1 pid=$2
  ctl GET "/connections?open=1&min=1&wait=30000" | grep -q '"conn"' || { echo "$label: the channel never opened" >&2; return 1; }
  sleep 5
  local tick start_ticks end_ticks peak=0 rss
  tick=$(getconf CLK_TCK)
  ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
  start_ticks=$(ticks "$pid")
  # Run time in ns from the scheduler (schedstat), per thread: the 100 Hz ticks of /proc/PID/stat charge a
  # whole tick to a thread that happens to run when it strikes, which is coarse for a mostly sleeping one.
  declare -A thread_start=()
  for task in /proc/"$pid"/task/*; do thread_start[${task##*/}]=$(awk '{ print $1 }' "$task/schedstat"); done
  local questions_before
  questions_before=$(ctl GET "/requests?route=getStartupInfoAgent" | grep -o '"seq"' | wc -l)
  for _ in $(seq 1 "$seconds"); do
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
    [ "$rss" -gt "$peak" ] && peak=$rss
    sleep 1
  done
  end_ticks=$(ticks "$pid")
  local per_thread="" run_ns=0
  for task in /proc/"$pid"/task/*; do
    local tid=${task##*/} ns
    ns=$(( $(awk '{ print $1 }' "$task/schedstat") - ${thread_start[$tid]:-0} ))
    run_ns=$((run_ns + ns))
    per_thread+=" $tid:$((ns / 1000))us"
  done
  local questions_after
  questions_after=$(ctl GET "/requests?route=getStartupInfoAgent" | grep -o '"seq"' | wc -l)
  local threads pss dirty
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status")
  pss=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || echo "?")
  dirty=$(awk '/^Private_Dirty:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)
  awk -v label="$label" -v rss="$rss" -v peak="$peak" -v pss="$pss" -v dirty="$dirty" -v threads="$threads" \
      -v used=$((end_ticks - start_ticks)) -v tick="$tick" -v secs="$seconds" -v passes=$((questions_after - questions_before)) -v per_thread="$per_thread" -v run_ns="$run_ns" \
    'BEGIN {
       cpu = run_ns / 1e9 / secs * 100
       printf "%-28s resident %.2f MB (peak %.2f MB, proportional %s kB, private dirty %.2f MB), %d threads, CPU %.3f %% of one core over %d s (%d passes)\n",
              label, rss / 1024, peak / 1024, pss, dirty / 1024, threads, cpu, secs, passes
       printf "%-28s run time per thread:%s; %.3f %% by the coarse 1/%d s ticks\n", "", per_thread, used / tick / secs * 100, tick
       if (label ~ /Linux/ && label !~ /https/) printf "%-28s goals: resident <= 6 MB: %s, private dirty <= 1.5 MB: %s, CPU <= 0.05 %%: %s\n", "", (peak <= 6144 ? "met" : "MISSED"), (dirty <= 1536 ? "met" : "MISSED"), (cpu <= 0.05 ? "met" : "MISSED")
     }'
}

# TLS for the https runs: the room's own CA beside the agent, the server's TLS ports in shell.ini.
tls=$(ctl POST /tls/start)
ctl POST /tls/certificate '{"from":"ca"}' >/dev/null
tls_field() { node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>console.log(JSON.parse(s)[process.argv[1]]))' "$1" <<<"$tls"; }
use_https() {
  tls_field caPem >"$1/Agent/room-ca.pem"
  printf '[Server]\r\nServer=127.0.0.1\r\nServerPort=%s\r\nSocketPort=%s\r\nScheme=https\r\nCaFile=room-ca.pem\r\n[Application]\r\nAppTitle=Tavrel\r\n' \
    "$(tls_field https)" "$(tls_field wss)" >"$1/Agent/shell.ini"
}

for linux_build in "${linux_list[@]}"; do
  for scheme in http https; do
    ctl POST /reset >/dev/null
    ctl POST /answer '{"route":"getStartupInfoAgent","data":{"ecpId":1,"ecpRoomCode":"R101","isStartup":false}}' >/dev/null
    rm -rf "$work/linux"
    tree "$work/linux"
    [ "$scheme" = https ] && use_https "$work/linux"
    cp "$linux_build/TavrelAgent" "$work/linux/Agent/TavrelAgent"
    # The copy's pages wait in the page cache to be written back, and until then count as private dirty.
    sync "$work/linux/Agent/TavrelAgent"
    setpriv --bounding-set -sys_boot -- "$work/linux/Agent/TavrelAgent" </dev/null >"$work/linux/agent.out" 2>&1 &
    agent_pid=$!
    agent_pids=("$agent_pid")
    label="Linux agent ($(basename "$linux_build"))"
    [ "$scheme" = https ] && label="$label, Scheme=https"
    measure "$label" "$agent_pid"
    kill -TERM "$agent_pid"
    wait "$agent_pid" 2>/dev/null || true
    agent_pids=()
  done
done

if [ -f "$windows_build/TavrelAgent.exe" ]; then
  ctl POST /reset >/dev/null
  ctl POST /answer '{"route":"getStartupInfoAgent","data":{"ecpId":1,"ecpRoomCode":"R101","isStartup":false}}' >/dev/null
  # Without a display Wine makes windows only with its null graphics driver; the agent's window is hidden.
  if [ -z "${DISPLAY:-}" ] && ! bash "$repo/cmake/wine-run.sh" reg query 'HKCU\Software\Wine\Drivers' /v Graphics >/dev/null 2>&1; then
    bash "$repo/cmake/wine-run.sh" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
  fi
  tree "$work/windows"
  cp "$windows_build/TavrelAgent.exe" "$work/windows/Agent/TavrelAgent.exe"
  setpriv --bounding-set -sys_boot -- bash "$repo/cmake/wine-run.sh" "$work/windows/Agent/TavrelAgent.exe" \
    </dev/null >"$work/windows/agent.out" 2>&1 &
  agent_pid=$!
  agent_pids=("$agent_pid")
  # The Windows program runs in a Wine process below the runner; its resident set is the working set.
  wine_pid=
  for _ in $(seq 1 300); do
    for child in $(pgrep -P "$agent_pid" 2>/dev/null) $(for c in $(pgrep -P "$agent_pid" 2>/dev/null); do pgrep -P "$c"; done); do
      if tr '\0' ' ' <"/proc/$child/cmdline" 2>/dev/null | grep -q 'TavrelAgent.exe'; then wine_pid=$child; fi
    done
    [ -n "$wine_pid" ] && break
    sleep 0.1
  done
  if [ -n "$wine_pid" ]; then
    measure "Windows agent under Wine" "$wine_pid"
  else
    echo "Windows agent under Wine: its process was not found" >&2
  fi
fi
