# Sourced by the benchmark scripts: starts tools/room-server in WORK with its output there and sets
# server_pid, http, socket and control. The server ends by itself when its stdin closes, so it never
# outlives the script that started it (fd 9 holds that stdin open). A caller may set room_server_launcher
# to a command that runs it elsewhere (e.g. `ip netns exec NAME`); it must exec, so server_pid stays the server.
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
