# Sourced by the scripts that run agents against tools/room-server (bench/*.sh, scripts/demo.sh): the server's
# start, the control call, an installation tree with its shell.ini, and the clean-up that ends whatever the
# script started, however it ends. The sourcing script sets `repo` (the top of the tree) first.

# --- the room-server
# Starts tools/room-server in WORK with its output there and sets server_pid, http, socket and control. The
# server ends by itself when its stdin closes, so it never outlives the script that started it (fd 9 holds that
# stdin open). A caller may set room_server_launcher to a command that runs it elsewhere (e.g. `ip netns exec
# NAME`); it must exec, so server_pid stays the server.
start_room_server() {
  local work=$1; shift
  mkfifo "$work/stdin"
  (cd "$repo/tools/room-server" && exec ${room_server_launcher[@]+"${room_server_launcher[@]}"} node server.js "$@" <"$work/stdin" >"$work/ready" 2>"$work/server.log") &
  server_pid=$!
  exec 9>"$work/stdin"
  for _ in $(seq 100); do grep -q ready "$work/ready" 2>/dev/null && break; sleep 0.1; done
  local http_field socket_field control_field
  read -r _ _ http_field socket_field control_field <"$work/ready"
  http=${http_field#http=}
  socket=${socket_field#socket=}
  control=${control_field#control=}
}

# The server's control interface: ctl METHOD PATH [JSON body]; the answer on stdout.
ctl() { curl -sS -X "$1" "http://127.0.0.1:$control$2" -H 'Content-Type: application/json' ${3:+--data "$3"}; }

# --- an installation tree
# The folders of a PC's installation: Agent (program and shell.ini), Modules, Temp, log, ExamData\nrvq; one
# mkdir for every root given.
lay_agent_tree() {
  local root dirs=()
  for root; do dirs+=("$root/Agent" "$root/Agent/log" "$root/Modules" "$root/Temp" "$root/log" "$root/ExamData/nrvq"); done
  mkdir -p "${dirs[@]}"
}

# write_shell_ini FILE SERVER HTTP_PORT SOCKET_PORT [APP_TITLE=Tavrel]: the settings the installer writes, with
# CRLF line ends as on Windows.
write_shell_ini() {
  printf '[Server]\r\nServer=%s\r\nServerPort=%s\r\nSocketPort=%s\r\n[Application]\r\nAppTitle=%s\r\n' \
    "$2" "$3" "$4" "${5:-Tavrel}" >"$1"
}

# --- ending
# A process has ended when it is gone or a zombie: an agent in a PID namespace of its own stays a zombie under
# its PID 1, which never reaps.
room_ended() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" || return 0
  line=${line##*) }
  [ "${line:0:1}" = Z ]
}

# stop_agents GRACE_S PID...: each agent gets TERM (its orderly stop) and together they have GRACE_S seconds to
# end; any still running then is killed.
stop_agents() {
  local grace=$1 pid alive; shift
  (($#)) || return 0
  for pid; do kill -TERM "$pid" 2>/dev/null; done
  for _ in $(seq 1 $((grace * 10))); do
    alive=0
    for pid; do room_ended "$pid" || { alive=1; break; }; done
    ((alive)) || return 0
    sleep 0.1
  done
  for pid; do room_ended "$pid" || kill -KILL "$pid" 2>/dev/null; done
}

# What the clean-up ends, in this order; the script fills these in as it starts things:
room_first_pids=()   # ended (TERM) before the agents, e.g. a driver that would act on them
agent_pids=()        # the agents: stop_agents with agent_grace_s
agent_grace_s=10
room_kill_pids=()    # killed once the agents are done (a namespace's PID 1, its launcher)
server_pid=          # the room-server (TERM)
room_last_pids=()    # ended (TERM) after the server, e.g. viewers of its output
work=                # removed at the end; kept (and named on stderr) when keep_work is set
keep_work=
# A script with more to undo (namespaces, say) defines room_cleanup_more; it runs after every process has ended.
room_cleanup() {
  set +e
  # A second signal must not cut the clean-up short: `timeout` sends its TERM both to the script and to the
  # script's process group, and the second may come while this runs.
  trap '' INT TERM
  local pid
  for pid in "${room_first_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  stop_agents "$agent_grace_s" "${agent_pids[@]}"
  for pid in "${room_kill_pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  # The server's last lines still reach whatever reads them before the readers go.
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null
  for pid in "${room_first_pids[@]}" "${agent_pids[@]}" "${room_kill_pids[@]}" $server_pid; do
    wait "$pid" 2>/dev/null
  done
  for pid in "${room_last_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  declare -F room_cleanup_more >/dev/null && room_cleanup_more
  if [ -n "$work" ]; then
    if [ -n "$keep_work" ]; then echo "$(basename "$0"): trees and logs kept in $work" >&2; else rm -rf "$work"; fi
  fi
}
# Installs the clean-up: on EXIT, and Ctrl-C or SIGTERM end the script (130, 143) through it.
room_on_exit() {
  trap room_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}
