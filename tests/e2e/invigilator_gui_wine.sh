#!/usr/bin/env bash
# The invigilator's side of the Windows agent, end to end: the real TavrelAgent.exe under Wine in a virtual
# desktop on a private Xvfb, beside tools/room-server, driven from outside with real mouse and keyboard input
# (xdotool) and window messages (gui_driver.exe, run in the same Wine desktop). Screenshots of the tray in both
# states, the menu, both dialogs, a message box and the blank dialog are kept for the reader.
#
# Run by ctest through tests/with-room-server.sh (TAVREL_ROOM_SERVER=127.0.0.1:<control port>). Environment:
#   TAVREL_AGENT_EXE     the Windows TavrelAgent.exe
#   TAVREL_TEST_BIN      folder of gui_driver.exe and tavrel_stub.exe
#   TAVREL_GUI_PREFIX    the Wine prefix of this test alone (a wineserver -k here never hits another suite)
#   TAVREL_SCREENSHOTS   where the pictures go
# Exit code 0: passed; 1: failed; 77: skipped because no X server could be started.
set -u

: "${TAVREL_AGENT_EXE:?}" "${TAVREL_TEST_BIN:?}" "${TAVREL_ROOM_SERVER:?}"
prefix=${TAVREL_GUI_PREFIX:-$(dirname "$TAVREL_TEST_BIN")/../gui-wineprefix}
shots=${TAVREL_SCREENSHOTS:-$(dirname "$TAVREL_TEST_BIN")/../screenshots}
driver="$TAVREL_TEST_BIN/gui_driver.exe"
stub="$TAVREL_TEST_BIN/tavrel_stub.exe"
title_window="$TAVREL_TEST_BIN/title_window.exe"

# Texts of the agent's windows.
readonly T_WINDOW="Tavrel测试系统" T_SETTINGS="参数设置" T_EXIT="退出口令" T_NOTE="提示信息"
# The exam client's window title, kept in shell.ini as UTF-8: fifteen bytes, an odd number.
readonly T_EXAM_CLIENT="考试客户端"
readonly M_CUT="考试机号最大支持3位数字！" M_NO_NUMBER="请输入考试机号！" M_RANGE="考试机号应该在1-999之间！"
readonly M_ADDRESS="请输入合法的IP地址！" M_CLIENT_RUNS="考试机已启动，无法修改考试机配置！"
readonly M_REFUSED="修改考试机号失败："
readonly ID_ADDRESS=1000 ID_NUMBER=1013 ID_CONFIRM=1005 ID_CANCEL=1004 ID_PASSWORD=1006 ID_SETTING_PASSWORD=1014

# shellcheck source=tests/support/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

for tool in Xvfb xdotool import identify convert iconv wine wineserver curl node; do
  command -v "$tool" >/dev/null || die "tool missing" "$tool"
done
mkdir -p "$shots" "$prefix"
rm -f "$shots"/*.png

work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-gui.XXXXXX")
xvfb_pid= desktop_pid= agent_pid= stub_pids=()

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8

cleanup() {
  set +e
  touch "$work/stubs.stop"
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  for p in "${stub_pids[@]}"; do kill "$p" 2>/dev/null; done
  timeout 20 wineserver -k >/dev/null 2>&1
  [ -n "$desktop_pid" ] && kill "$desktop_pid" 2>/dev/null
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- the desktop: a private Xvfb on a free display, Wine's virtual desktop on it -----------------------------
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; kill -0 "$xvfb_pid" 2>/dev/null || break; sleep 0.1; done
if [ ! -s "$work/display" ]; then
  echo "SKIP: Xvfb could not start:"; cat "$work/xvfb.log"
  xvfb_pid=
  exit 77
fi
export DISPLAY=":$(head -n1 "$work/display")"
echo "display $DISPLAY, prefix $WINEPREFIX"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 wineboot -i </dev/null >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; die "wineboot"; }
fi
# Every program of this prefix (the agent, the driver, the stand-in exam clients) lives in the one virtual
# desktop "tavrel", whose taskbar holds the notification area; EnumWindows sees only the caller's desktop.
for setting in 'HKCU\Software\Wine\Explorer|Desktop|REG_SZ|tavrel' \
               'HKCU\Software\Wine\Explorer\Desktops|tavrel|REG_SZ|1024x768' \
               'HKCU\Software\Wine\Explorer\Desktops\tavrel|EnableShell|REG_DWORD|1'; do
  IFS='|' read -r key name type data <<<"$setting"
  timeout 60 wine reg add "$key" /v "$name" /t "$type" /d "$data" /f </dev/null >/dev/null 2>&1 ||
    die "Wine desktop setting" "$key $name"
done
timeout -k 5 600 wine explorer /desktop=tavrel,1024x768 </dev/null >"$work/desktop.log" 2>&1 &
desktop_pid=$!

drive() { timeout 30 wine "$driver" "$@" 2>>"$work/driver.log" </dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
value() { sed -n "s/^$1=//p" | head -n1; }
shot() { import -window root -display "$DISPLAY" "$shots/$1.png" 2>>"$work/import.log"; }

# ---- the installation: the agent, its shell.ini, the log folder beside it --------------------------------------
ports=$(rs_get /ports) || die "room-server ports"
http_port=$(echo "$ports" | json v.http) socket_port=$(echo "$ports" | json v.socket)
root="$work/Tavrel"
mkdir -p "$root/Agent" "$root/Agent/log" "$root/log" "$work/exam"
cp "$TAVREL_AGENT_EXE" "$root/Agent/TavrelAgent.exe"
printf '[Server]\r\nServer=127.0.0.1\r\nServerPort=%s\r\nSocketPort=%s\r\n[Application]\r\nAppTitle=%s\r\n' \
  "$http_port" "$socket_port" "$T_EXAM_CLIENT" >"$root/Agent/shell.ini"
cp "$root/Agent/shell.ini" "$work/shell.ini.before"
# Two processes of the exam client's program (the agent's folder + Tavrel.exe) make "the exam client runs";
# the same program under that name elsewhere does not.
cp "$stub" "$root/Agent/Tavrel.exe"
cp "$stub" "$work/exam/Tavrel.exe"

# The channel stays down until the icon's first picture has been seen.
rs_post /socket/stop >/dev/null || die "room-server socket stop"

(cd "$root/Agent" && exec timeout -k 5 600 wine TavrelAgent.exe </dev/null >"$work/agent.out" 2>&1) &
agent_pid=$!

# ---- the hidden main window and the tray icon ------------------------------------------------------------------
for _ in $(seq 1 120); do drive main-window >"$work/main" && break; sleep 0.5; done
[ -s "$work/main" ] || { drive windows; die "main window" "no window \"$T_WINDOW\""; }
check "main window: class and title" test "$(value class <"$work/main")|$(value title <"$work/main")" = "$T_WINDOW|$T_WINDOW"
check "main window: tool window popup without caption" \
  test "$(value popup <"$work/main")$(value toolwindow <"$work/main")$(value caption <"$work/main")" = "110"

drive tray-icon 30000 >"$work/icon" || { drive windows; die "tray icon" "none in the shell's tray"; }
read -r il it ir ib < <(value icon <"$work/icon")
echo "tray icon at $il,$it-$ir,$ib"
icon_x=$(((il + ir) / 2)) icon_y=$(((it + ib) / 2))

# The picture: green with a white tick while connected, grey with a red cross while not; told by the colours
# of the icon's middle on screen.
icon_state() {
  local rgb r g
  rgb=$(import -window root -display "$DISPLAY" -crop "10x10+$((icon_x - 5))+$((icon_y - 5))" +repage png:- 2>/dev/null |
        identify -format '%[fx:int(255*mean.r)] %[fx:int(255*mean.g)]' png:- 2>/dev/null)
  read -r r g <<<"$rgb"
  if [ -z "$r" ]; then echo unreadable
  elif [ $((g - r)) -gt 40 ]; then echo connected
  elif [ $((r - g)) -gt 40 ]; then echo disconnected
  else echo "unclear($rgb)"; fi
}
wait_icon() {
  local want=$1 seconds=$2 state
  for _ in $(seq 1 $((seconds * 4))); do
    state=$(icon_state)
    [ "$state" = "$want" ] && return 0
    sleep 0.25
  done
  echo "  icon is $state, not $want" >&2
  return 1
}
# The tray corner four times enlarged, for the reader's eye.
zoom_tray() {
  local x=$((icon_x + 12 - 240)) y=$((icon_y + 12 - 120))
  convert "$shots/$1.png" -crop "240x120+$((x < 0 ? 0 : x))+$((y < 0 ? 0 : y))" +repage -scale 400% "$shots/$1-zoom.png"
}

check "icon not connected while the channel is down" wait_icon disconnected 10
shot tray-disconnected; zoom_tray tray-disconnected
drive post 0x466 0 2 >/dev/null
sleep 1
check "WM_SETTRAYICON 2 keeps the picture" test "$(icon_state)" = disconnected

rs_post /socket/start >/dev/null || die "room-server socket start"
check "icon connected once the channel opens" wait_icon connected 40
shot tray-connected; zoom_tray tray-connected
machine=$(rs_get /machines) || die "room-server machines"
ecp_key=$(echo "$machine" | json 'v.machines[0].ecpKey')
ecp_id=$(echo "$machine" | json 'String(v.machines[0].startup.ecpId)')
ecp_ip=$(echo "$machine" | json 'String(v.machines[0].ecpIp)')
echo "the agent is machine $ecp_key at $ecp_ip, number $ecp_id"
check "the agent knows its machine under Wine: MAC as key" grep -qE '^([0-9A-F]{2}-){5}[0-9A-F]{2}$' <<<"$ecp_key"
check "the agent knows its machine under Wine: IPv4 address" grep -qE '^[0-9]+(\.[0-9]+){3}$' <<<"$ecp_ip"
check "the channel joined with that key" \
  test "$(rs_get "/connections?open=1&ecpKey=$ecp_key" | json 'v.connections.length')" -ge 1
drive post 0x466 0 2 >/dev/null
sleep 1
check "WM_SETTRAYICON 2 keeps the connected picture" test "$(icon_state)" = connected

rs_post /socket/stop >/dev/null
check "icon back to not connected when the server goes away" wait_icon disconnected 20
rs_post /socket/start >/dev/null
check "icon connected again after the reconnection" wait_icon connected 60

# A restarted shell has lost every icon and broadcasts "TaskbarCreated": the icon comes back as it was.
drive tray-forget >/dev/null
check "the shell forgot the icon" bash -c "! timeout 30 wine '$driver' tray-icon 0 2>/dev/null | grep -q exists=1"
drive post-registered TaskbarCreated >/dev/null
check "TaskbarCreated: the icon is added again" drive tray-icon 5000
check "TaskbarCreated: with the picture it had" wait_icon connected 5

# ---- command 1002 closes the exam client's window by its Chinese title (code page 936) ---------------------------
# The exam client is the program in the agent's folder (here the titled window, for this part); a window of the same
# title from another program, shown above it, is left alone.
cp "$title_window" "$root/Agent/Tavrel.exe"
(cd "$root/Agent" && exec timeout -k 5 120 wine Tavrel.exe "$T_EXAM_CLIENT" "Z:${work//\//\\}\\title.rec" 90000 \
   </dev/null >/dev/null 2>&1) &
title_pid=$!
for _ in $(seq 1 60); do grep -q ready "$work/title.rec" 2>/dev/null && break; sleep 0.5; done
check "a window titled $T_EXAM_CLIENT shows" grep -q ready "$work/title.rec"
(cd "$work" && exec timeout -k 5 120 wine "$title_window" "$T_EXAM_CLIENT" "Z:${work//\//\\}\\lookalike.rec" 90000 \
   </dev/null >/dev/null 2>&1) &
lookalike_pid=$!
for _ in $(seq 1 60); do grep -q ready "$work/lookalike.rec" 2>/dev/null && break; sleep 0.5; done
shot exam-client-window
sent=$(rs_post /emit "{\"ecpKey\":\"$ecp_key\",\"event\":\"broadcast\",\"args\":[{\"code\":1002}]}" | json v.sent)
check "command 1002 sent to the agent" test "$sent" = 1
for _ in $(seq 1 40); do grep -q close "$work/title.rec" 2>/dev/null && break; sleep 0.25; done
check "command 1002 closes the window titled $T_EXAM_CLIENT" grep -q "^close" "$work/title.rec"
check "command 1002 leaves another program's window of that title" test "$(cat "$work/lookalike.rec")" = ready
wait "$title_pid" 2>/dev/null
kill "$lookalike_pid" 2>/dev/null; wait "$lookalike_pid" 2>/dev/null
cp "$stub" "$root/Agent/Tavrel.exe"

# ---- the menu ----------------------------------------------------------------------------------------------------
# On a loaded machine a click can come before the window it aims at takes input, and is lost. The helpers below
# that stand for an invigilator's action see it take effect and try again a few times; a right click that is
# to show no menu stays a single one.
right_click_icon() { xdotool mousemove "$icon_x" "$icon_y" click 3; }
close_menu() { xdotool key Escape; drive no-menu 300 >/dev/null || xdotool key Escape; }
open_menu() {
  for _ in 1 2 3; do
    right_click_icon
    drive menu 3000 && return 0
    close_menu
  done
  return 1
}
# The menu's two items stand one under the other: "配置" in the upper half, "退出" in the lower.
choose() {
  local rect top bottom left right y
  for _ in 1 2 3; do
    rect=$(drive menu 5000 | value rect)
    read -r left top right bottom <<<"$rect"
    [ -n "$bottom" ] || return 1
    if [ "$1" = settings ]; then y=$((top + (bottom - top) / 4)); else y=$((top + 3 * (bottom - top) / 4)); fi
    xdotool mousemove $(((left + right) / 2)) "$y" click 1
    drive no-menu 500 >/dev/null && return 0
  done
  return 1
}
# Opens the dialog TITLE from the menu item ITEM; its description goes to OUT.
open_from_menu() {
  for _ in 1 2 3; do
    right_click_icon
    choose "$1" && drive dialog "$2" 5000 >"$3" && return 0
    close_menu
  done
  return 1
}
# A click on control ID of the dialog TITLE, until that control holds the keyboard focus.
focus_field() {
  local cx cy
  for _ in 1 2 3 4 5; do
    read -r cx cy < <(drive center "$1" "$2" | value center)
    [ -n "$cy" ] && xdotool mousemove "$cx" "$cy" click 1
    for _ in 1 2 3 4; do [ "$(drive focus "$1" | value focus)" = "$2" ] && return 0; sleep 0.25; done
  done
  echo "  control $2 of \"$1\" never took the focus" >&2
  return 1
}

xdotool mousemove "$icon_x" "$icon_y" click 1
sleep 0.3
xdotool click --repeat 2 --delay 80 1
check "left click and double click show no menu" drive no-menu 1500

open_menu >"$work/menu" && pass "right click shows the menu" || fail "right click shows the menu"
sleep 0.3
shot menu; zoom_tray menu
close_menu

start_stub() {
  (cd "${1:-$root/Agent}" && exec timeout -k 5 300 wine Tavrel.exe --until "Z:${work//\//\\}\\stubs.stop" --max-ms 240000 \
     </dev/null >/dev/null 2>>"$work/stubs.err") &
  stub_pids+=($!)
}
count_exam_clients() { drive count-processes Tavrel.exe | value count; }
wait_exam_clients_gone() { for _ in $(seq 1 60); do [ "$(count_exam_clients)" = 0 ] && return 0; sleep 0.5; done; return 1; }
# A count that falls short says what ran: a stub lives until stubs.stop or for four minutes.
wait_exam_clients() {
  local n p alive=0
  for _ in $(seq 1 60); do n=$(count_exam_clients); [ "${n:-0}" -ge "$1" ] && return 0; sleep 0.5; done
  for p in "${stub_pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=$((alive + 1)); done
  echo "  counted ${n:-nothing} of $1; $alive of ${#stub_pids[@]} stubs run; Wine said: $(tail -n 3 "$work/stubs.err" 2>/dev/null)" >&2
  return 1
}

start_stub "$work/exam"; start_stub "$work/exam"
wait_exam_clients 2 || fail "two programs named like the exam client elsewhere" "did not start"
check "the exam client's name elsewhere: the menu is still offered" open_menu
close_menu
touch "$work/stubs.stop"; wait "${stub_pids[@]}" 2>/dev/null; stub_pids=(); rm -f "$work/stubs.stop"
wait_exam_clients_gone || fail "the programs elsewhere end"

start_stub
wait_exam_clients 1 || fail "one exam client process" "did not start"
check "one exam client process: the menu is still offered" open_menu
close_menu

start_stub
wait_exam_clients 2 || fail "two exam client processes" "did not start"
sleep 1
right_click_icon
check "two exam client processes: no menu" drive no-menu 3000
shot no-menu-while-exam-runs

# The exam client starts while the menu is open: choosing settings is refused with a note.
touch "$work/stubs.stop"; wait "${stub_pids[@]}" 2>/dev/null; stub_pids=(); rm -f "$work/stubs.stop"
open_menu >/dev/null || fail "menu before the exam client starts"
start_stub; start_stub
wait_exam_clients 2 || fail "two exam client processes" "did not start"
choose settings
drive msgbox "$T_NOTE" 8000 >"$work/note" || true
check "settings while the exam client runs: \"$M_CLIENT_RUNS\"" test "$(value text <"$work/note")" = "$M_CLIENT_RUNS"
check "that note has no owner and one button" test "$(value owner <"$work/note")|$(value buttons <"$work/note")" = "|1"
check "no settings dialog while the exam client runs" drive hidden "$T_SETTINGS" 500
touch "$work/stubs.stop"; wait "${stub_pids[@]}" 2>/dev/null; stub_pids=(); rm -f "$work/stubs.stop"

# ---- the settings dialog -----------------------------------------------------------------------------------------
open_settings() { open_from_menu settings "$T_SETTINGS" "$work/settings"; }
field() { drive text "$T_SETTINGS" "$1" | value text; }
requests_of_modify() { rs_get "/requests?route=modifyTavrel" | json 'v.requests.length'; }

# Opened before the exam started, confirmed while it runs: refused with the opening's note, nothing changes.
open_settings || { drive windows; die "settings dialog" "did not open from the menu"; }
start_stub; start_stub
wait_exam_clients 2 || fail "two exam client processes" "did not start"
drive set-text "$T_SETTINGS" $ID_NUMBER "5" >/dev/null
drive click "$T_SETTINGS" $ID_CONFIRM >/dev/null
drive msgbox "$T_NOTE" 8000 >"$work/note" || true
check "confirmed while the exam client runs: \"$M_CLIENT_RUNS\"" test "$(value text <"$work/note")" = "$M_CLIENT_RUNS"
check "confirmed while the exam client runs: the dialog goes" drive hidden "$T_SETTINGS" 5000
check "confirmed while the exam client runs: no server call" test "$(requests_of_modify)" = 0
touch "$work/stubs.stop"; wait "${stub_pids[@]}" 2>/dev/null; stub_pids=(); rm -f "$work/stubs.stop"

open_settings || { drive windows; die "settings dialog" "did not open from the menu"; }
shot settings
check "settings dialog shows the address in use" test "$(field $ID_ADDRESS)" = "127.0.0.1"
check "settings dialog shows the number in use" test "$(field $ID_NUMBER)" = "$ecp_id"
check "settings dialog opens without taking the focus" test "$(value foreground <"$work/settings")" = 0
for expected in "-1 Static .* 监考机IP：" "-1 Static .* 考试机号：" "1000 Edit" "1013 Edit" "1005 Button .* 确定" \
               "1004 Button .* 取消"; do
  check "settings control $expected" grep -q "^control=$expected" "$work/settings"
done

# Typing a fourth digit: the first three stay, with a note owned by the dialog.
drive set-text "$T_SETTINGS" $ID_NUMBER "" >/dev/null
focus_field "$T_SETTINGS" $ID_NUMBER
xdotool type --delay 120 1234
for _ in $(seq 1 20); do drive dialog "$T_NOTE" 0 >/dev/null && break; sleep 0.25; done
shot settings-note
drive msgbox "$T_NOTE" 5000 >"$work/note" || true
check "fourth digit: \"$M_CUT\"" test "$(value text <"$work/note")" = "$M_CUT"
check "fourth digit: the note belongs to the dialog" test "$(value owner <"$work/note")" = "$T_SETTINGS"
check "fourth digit: the first three digits stay" test "$(field $ID_NUMBER)" = 123
# Counted in characters: four double-byte characters keep three whole ones. (The driver's WM_SETTEXT returns
# only when its time is up, as the note holds the dialog's thread.)
drive set-text "$T_SETTINGS" $ID_NUMBER "一二三四" >/dev/null
drive msgbox "$T_NOTE" 5000 >"$work/note" || true
check "four wide characters: \"$M_CUT\"" test "$(value text <"$work/note")" = "$M_CUT"
check "four wide characters: three whole ones stay" test "$(field $ID_NUMBER)" = "一二三"

# Refused input: the note, the dialog stays, nothing reaches the server.
while IFS='|' read -r address number message; do
  drive set-text "$T_SETTINGS" $ID_ADDRESS "$address" >/dev/null
  drive set-text "$T_SETTINGS" $ID_NUMBER "$number" >/dev/null
  drive click "$T_SETTINGS" $ID_CONFIRM >/dev/null
  drive msgbox "$T_NOTE" 5000 >"$work/note" || true
  check "refused: address \"$address\" number \"$number\": \"$message\"" test "$(value text <"$work/note")" = "$message"
done <<EOF
127.0.0.1||$M_NO_NUMBER
127.0.0.1|   |$M_NO_NUMBER
127.0.0.1|0|$M_RANGE
127.0.0.1|abc|$M_RANGE
127.0.0.1|-5|$M_RANGE
255.255.255.255|5|$M_ADDRESS
|5|$M_ADDRESS
1.2.3.4.5|5|$M_ADDRESS
server|5|$M_ADDRESS
10.0.1|5|$M_ADDRESS
010.0.0.1|5|$M_ADDRESS
EOF
check "refused input: the dialog stays open" drive dialog "$T_SETTINGS" 0
check "refused input: no server call" test "$(requests_of_modify)" = 0

# The server refuses the number: its message follows the note's words, and nothing changes.
rs_post /answer '{"route":"modifyTavrel","code":1001,"data":null,"message":"考试机号已被占用"}' >/dev/null
drive set-text "$T_SETTINGS" $ID_ADDRESS "127.0.0.1" >/dev/null
drive set-text "$T_SETTINGS" $ID_NUMBER "8" >/dev/null
drive click "$T_SETTINGS" $ID_CONFIRM >/dev/null
drive msgbox "$T_NOTE" 15000 >"$work/note" || true
check "server refuses: \"${M_REFUSED}考试机号已被占用\"" test "$(value text <"$work/note")" = "${M_REFUSED}考试机号已被占用"
check "server refuses: the call was made" test "$(requests_of_modify)" = 1
check "server refuses: shell.ini untouched" cmp -s "$work/shell.ini.before" "$root/Agent/shell.ini"
rs_post /answer '{"route":"modifyTavrel","clear":true}' >/dev/null

# Unchanged values close the dialog without a call.
drive set-text "$T_SETTINGS" $ID_NUMBER " $ecp_id " >/dev/null
drive click "$T_SETTINGS" $ID_CONFIRM >/dev/null
check "unchanged values: the dialog closes" drive hidden "$T_SETTINGS" 5000
check "unchanged values: no server call" test "$(requests_of_modify)" = 1
check "unchanged values: no log line" test "$(agent_log "$root" | grep -c 修改考试机配置)" = 0

# A good change of the number only: reaches the server, is logged, takes effect; shell.ini stays.
open_settings || fail "settings dialog opens again"
check "reopened: the field shows the number in use again" test "$(field $ID_NUMBER)" = "$ecp_id"
drive set-text "$T_SETTINGS" $ID_NUMBER " 7 " >/dev/null
drive click "$T_SETTINGS" $ID_CONFIRM >/dev/null
check "good change: the dialog closes" drive hidden "$T_SETTINGS" 15000
modify=$(rs_get "/requests?route=modifyTavrel&min=2&wait=5000")
check "good change: a second modifyTavrel call" test "$(echo "$modify" | json 'v.requests.length')" = 2
check "good change: POST /client/modifyTavrel" \
  test "$(echo "$modify" | json 'v.requests[1].method+" "+v.requests[1].path')" = "POST /client/modifyTavrel"
check "good change: the trimmed number and the machine's key" \
  test "$(echo "$modify" | json 'String(v.requests[1].json.ecpId)+" "+v.requests[1].json.ecpKey')" = "7 $ecp_key"
check "good change: shell.ini untouched when only the number changed" \
  cmp -s "$work/shell.ini.before" "$root/Agent/shell.ini"
check "good change: the log line" grep -qF "修改考试机配置，考试机号[7],服务地址[127.0.0.1]" <(agent_log "$root")
open_settings || fail "settings dialog opens a third time"
check "good change: the dialog now shows the new number" test "$(field $ID_NUMBER)" = 7
check "the channel stayed open" test "$(icon_state)" = connected

# A new address must be another host of the room: this PC's own listeners are refused before any call.
# (Taking a new address, storing it and reconnecting needs a second host, which this test has not.)
for address in 127.0.0.2 " 127.1 " 0.0.0.0 224.0.0.1; do
  drive set-text "$T_SETTINGS" $ID_ADDRESS "$address" >/dev/null
  drive click "$T_SETTINGS" $ID_CONFIRM >/dev/null
  drive msgbox "$T_NOTE" 5000 >"$work/note" || true
  check "new address \"$address\": \"$M_ADDRESS\"" test "$(value text <"$work/note")" = "$M_ADDRESS"
done
check "new loopback addresses: no server call" test "$(requests_of_modify)" = 2
check "new loopback addresses: shell.ini untouched" cmp -s "$work/shell.ini.before" "$root/Agent/shell.ini"
check "new loopback addresses: the icon still connected" test "$(icon_state)" = connected
drive set-text "$T_SETTINGS" $ID_ADDRESS "127.0.0.1" >/dev/null
drive click "$T_SETTINGS" $ID_CANCEL >/dev/null
check "cancel hides the dialog" drive hidden "$T_SETTINGS" 5000

# The keyboard: Tab goes round the fields and buttons, Esc is 取消, Enter is 确定.
open_settings || fail "settings dialog opens for the keys"
focus_field "$T_SETTINGS" $ID_ADDRESS
focus_order=$(drive focus "$T_SETTINGS" | value focus)
for _ in 1 2 3 4 5; do
  last=${focus_order##* }
  xdotool key Tab
  for _ in $(seq 1 12); do now=$(drive focus "$T_SETTINGS" | value focus); [ "$now" != "$last" ] && break; sleep 0.25; done
  focus_order="$focus_order $now"
done
check "Tab moves address, number, exit password, 确定, 取消, address: $focus_order" \
  test "$focus_order" = "$ID_ADDRESS $ID_NUMBER $ID_SETTING_PASSWORD $ID_CONFIRM $ID_CANCEL $ID_ADDRESS"
modify_before=$(requests_of_modify)
xdotool key Escape
check "Esc hides the settings dialog" drive hidden "$T_SETTINGS" 5000
check "Esc: no server call" test "$(requests_of_modify)" = "$modify_before"
open_settings || fail "settings dialog opens for Enter"
drive set-text "$T_SETTINGS" $ID_NUMBER "9" >/dev/null
focus_field "$T_SETTINGS" $ID_NUMBER
shot settings-before-enter
xdotool key Return
check "Enter confirms: the dialog closes" drive hidden "$T_SETTINGS" 15000
check "Enter confirms: the change reaches the server" \
  test "$(rs_get "/requests?route=modifyTavrel&min=$((modify_before + 1))&wait=5000" |
          json "String(v.requests[$modify_before]&&v.requests[$modify_before].json.ecpId)")" = 9
check "Enter confirms: the log line" grep -qF "修改考试机配置，考试机号[9],服务地址[127.0.0.1]" <(agent_log "$root")

# ---- the exit password -------------------------------------------------------------------------------------------
open_exit() { open_from_menu exit "$T_EXIT" "$work/exit"; }
type_password() { focus_field "$T_EXIT" $ID_PASSWORD && xdotool type --delay 120 "$1"; }
open_exit || { drive windows; die "exit password dialog"; }
type_password vex
xdotool key Escape
check "Esc hides the exit dialog" drive hidden "$T_EXIT" 5000

# Opened before the exam started, the password typed while it runs: refused, and the agent stays.
open_exit || fail "exit dialog opens again"
start_stub; start_stub
wait_exam_clients 2 || fail "two exam client processes" "did not start"
drive set-text "$T_EXIT" $ID_PASSWORD "" >/dev/null
type_password vexmor42
drive dialog "$T_NOTE" 8000 >/dev/null && shot exit-refused-while-exam-runs
drive msgbox "$T_NOTE" 8000 >"$work/note" || true
check "password while the exam client runs: \"$M_CLIENT_RUNS\"" test "$(value text <"$work/note")" = "$M_CLIENT_RUNS"
check "password while the exam client runs: the dialog goes" drive hidden "$T_EXIT" 5000
sleep 1
check "password while the exam client runs: the agent stays" kill -0 "$agent_pid"
touch "$work/stubs.stop"; wait "${stub_pids[@]}" 2>/dev/null; stub_pids=(); rm -f "$work/stubs.stop"
wait_exam_clients_gone || fail "the exam clients end"

open_exit || { drive windows; die "exit password dialog"; }
check "exit dialog: label and field" grep -q "^control=1006 Edit" "$work/exit"
check "exit dialog: the label" grep -q "^control=-1 Static .* 退出口令：" "$work/exit"
check "exit dialog: no buttons" test "$(grep -c '^control=.* Button ' "$work/exit")" = 0
shot exit-password
# Choosing exit again shows the same dialog instead of a second one.
right_click_icon
choose exit
sleep 0.5
check "exit chosen twice: still one dialog" test "$(drive windows | grep -c "^window=#32770 \[$T_EXIT\].* visible$")" = 1

type_password VEXMOR4
sleep 2
check "seven characters of the password: the agent stays" kill -0 "$agent_pid"
shot exit-password-typed
xdotool type --delay 120 2
agent_rc=
for _ in $(seq 1 60); do
  if ! kill -0 "$agent_pid" 2>/dev/null; then wait "$agent_pid"; agent_rc=$?; break; fi
  sleep 0.5
done
check "the eighth character ends the agent" test -n "$agent_rc"
check "the agent's exit code is 0" test "${agent_rc:-x}" = 0
agent_pid=
check "the end banner in the log" grep -q "TavrelAgent Application End" <(agent_log "$root")
check "the tray icon is gone from the screen" test "$(icon_state)" != connected -a "$(icon_state)" != disconnected

# ---- the blank dialog ------------------------------------------------------------------------------------------
# Another program asks for it with WM_SHOWBLANKDIALOG; closing it ends the agent like the exit password does.
(cd "$root/Agent" && exec timeout -k 5 600 wine TavrelAgent.exe </dev/null >"$work/agent2.out" 2>&1) &
agent_pid=$!
for _ in $(seq 1 120); do drive tray-icon 0 >"$work/icon2" && break; sleep 0.5; done
check "second start: the tray icon is back" grep -q "^exists=1" "$work/icon2"
drive post 0x465 0 0 >/dev/null
drive blank 5000 >"$work/blank" || fail "WM_SHOWBLANKDIALOG shows the blank dialog"
check "blank dialog: no controls" test "$(value children <"$work/blank")" = 0
check "blank dialog: shown without taking the focus" test "$(value foreground <"$work/blank")" = 0
read -r bl bt br bb < <(value rect <"$work/blank")
echo "blank dialog at $bl,$bt-$br,$bb"
check "blank dialog: wider than high, centred" \
  test $((br - bl)) -gt $((bb - bt)) -a $(((bl + br) / 2 - 512)) -le 2 -a $(((bl + br) / 2 - 512)) -ge -2
drive post 0x465 0 0 >/dev/null
sleep 0.5
check "WM_SHOWBLANKDIALOG again: still one blank dialog" \
  test "$(drive windows | grep -c '^window=#32770 \[\] .* visible$')" = 1
shot blank-dialog
xdotool mousemove $(((bl + br) / 2)) $(((bt + bb) / 2)) click 1
sleep 0.3
xdotool key alt+F4
agent_rc=
for _ in $(seq 1 60); do
  if ! kill -0 "$agent_pid" 2>/dev/null; then wait "$agent_pid"; agent_rc=$?; break; fi
  sleep 0.5
done
check "closing the blank dialog ends the agent" test -n "$agent_rc"
check "... with exit code 0" test "${agent_rc:-x}" = 0
agent_pid=
check "... with the end banner in the log" test "$(agent_log "$root" | grep -c 'TavrelAgent Application End')" = 2
sleep 1
check "... and takes the tray icon away" test "$(icon_state)" != connected -a "$(icon_state)" != disconnected

# ---- a room's own exit password ----------------------------------------------------------------------------------
# /ExitPassword= leaves a salted PBKDF2 digest in shell.ini (made here by another implementation): then the whole
# text must be typed, and the fixed password no longer ends the agent.
python3 -c 'import hashlib,os; s=os.urandom(16); print("ExitPasswordHash=pbkdf2-sha256$1000$%s$%s\r" %
  (s.hex(), hashlib.pbkdf2_hmac("sha256", b"Room 7", s, 1000).hex()))' >>"$root/Agent/shell.ini"
(cd "$root/Agent" && exec timeout -k 5 600 wine TavrelAgent.exe </dev/null >"$work/agent3.out" 2>&1) &
agent_pid=$!
for _ in $(seq 1 120); do drive tray-icon 0 >/dev/null && break; sleep 0.5; done
open_exit || fail "room password: the exit dialog opens"
type_password vexmor42
sleep 2
check "room password: the fixed one no longer ends the agent" kill -0 "$agent_pid"
drive set-text "$T_EXIT" $ID_PASSWORD "" >/dev/null
type_password "Room 7"
agent_rc=
for _ in $(seq 1 60); do
  if ! kill -0 "$agent_pid" 2>/dev/null; then wait "$agent_pid"; agent_rc=$?; break; fi
  sleep 0.5
done
check "room password: typed whole, it ends the agent with exit code 0" test "${agent_rc:-x}" = 0
agent_pid=

echo "screenshots in $shots:"
ls "$shots"
on_failure() {
  echo "--- agent's log ---"; agent_log "$root" | tail -n 40
  echo "--- driver's errors ---"; tail -n 20 "$work/driver.log"
}
verdict on_failure
