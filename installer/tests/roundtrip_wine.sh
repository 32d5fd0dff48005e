#!/usr/bin/env bash
# Tavrel_Setup.exe end to end under Wine, in a prefix of its own: a room deployment with the command-line
# options (the service TavrelService registered and started, the logon task of an older version deleted), the
# service's watch over the agent (a killed agent comes back, one that ends with 0 stays ended, "sc stop" ends it
# in order), the exam client started under the service, a hand-run reinstall that changes one setting, the
# self-update round trip (the server offers the next version, the agent downloads and starts its installer and
# ends, the installer stops the service, replaces the program and starts the service, which starts the new
# agent) and the uninstall. The next version is a second configure of the same sources beside this build.
#
# Run by ctest through tests/with-room-server.sh (TAVREL_ROOM_SERVER=127.0.0.1:<control port>). Environment:
#   TAVREL_SOURCE_DIR, TAVREL_BUILD_DIR (the windows build with Tavrel_Setup.exe), TAVREL_VERSION (its version),
#   TAVREL_BUILD_TYPE; TAVREL_KEEP_PREFIX=1 keeps the Wine prefix for a look afterwards.
set -u
: "${TAVREL_SOURCE_DIR:?}" "${TAVREL_BUILD_DIR:?}" "${TAVREL_VERSION:?}" "${TAVREL_ROOM_SERVER:?}"
src=$TAVREL_SOURCE_DIR build=$TAVREL_BUILD_DIR v1=$TAVREL_VERSION
IFS=. read -r major minor patch tweak <<<"$v1"
v2="$major.$minor.$patch.$((tweak + 1))"
# Beside the build folder, at the same depth: the compiler sees the same relative paths and ccache serves
# every object that the version does not change.
next=${build%/}-next
setup1=$build/Tavrel_Setup.exe setup2=$next/Tavrel_Setup.exe
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-installer.XXXXXX")

export WINEPREFIX=$build/installer-wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
unset DISPLAY
root_win='C:\Tavrel Room' root="$WINEPREFIX/drive_c/Tavrel Room"

# shellcheck source=tests/support/checks.sh
source "$src/tests/support/checks.sh"

cleanup() {
  set +e
  timeout 30 wineserver -k >/dev/null 2>&1
  if [ "$failures" -gt 0 ] || [ "${TAVREL_KEEP_PREFIX:-0}" = 1 ]; then echo "prefix kept: $WINEPREFIX"
  else rm -rf "$WINEPREFIX"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$SECONDS
mark() { echo "      ($1 after $((SECONDS - started)) s)"; }

# ---- the next version's installer ----------------------------------------------------------------------------
[ -f "$setup1" ] || die "installer" "$setup1 missing"
for helper in gui_driver exam_client_stub; do
  [ -f "$build/tests/bin/$helper.exe" ] || die "test helper" "$build/tests/bin/$helper.exe missing"
done
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$src CCACHE_NOHASHDIR=true
fi
cmake -S "$src" -B "$next" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE="${TAVREL_BUILD_TYPE:-RelWithDebInfo}" -DTAVREL_VERSION="$v2" -DTAVREL_BUILD_TESTS=OFF \
  >"$work/next.log" 2>&1 && cmake --build "$next" --target installer -j2 >>"$work/next.log" 2>&1 ||
  { tail -n 30 "$work/next.log"; die "installer of version $v2"; }
mark "installer $v2 built"

# ---- a fresh prefix ------------------------------------------------------------------------------------------
# A run that was killed (a test time-out) may have left its wineserver and agents behind.
[ -d "$WINEPREFIX" ] && timeout 30 wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# A wineserver that stays: Wine's services (the task scheduler among them) live only as long as it does.
timeout 10 wineserver -p </dev/null >/dev/null 2>&1
timeout 300 wineboot -i </dev/null >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; die "wineboot"; }
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
# Windows runs its task scheduler always; Wine starts it on demand only, and in a prefix that has just booted
# its start can hang until the wineserver is started afresh. It holds the logon task that versions before the
# service registered, which the install must delete.
scheduler=
for _ in 1 2 3; do
  timeout -k 5 90 wine net start Schedule </dev/null >/dev/null 2>&1
  if timeout 60 wine sc query Schedule </dev/null 2>/dev/null | grep -q RUNNING; then scheduler=running; break; fi
  timeout 30 wineserver -k >/dev/null 2>&1
  sleep 1
  timeout 10 wineserver -p </dev/null >/dev/null 2>&1
done
check "Wine's task scheduler runs" test "$scheduler" = running
mark "prefix ready"

# Output goes through a file: an agent that an installer starts would hold a pipe open for as long as it runs.
win() {
  local limit=$1 rc; shift
  timeout -k 5 "$limit" wine "$@" </dev/null >"$work/out" 2>>"$work/wine.log"; rc=$?
  tr -d '\r' <"$work/out"
  return "$rc"
}
reg_value() { win 60 reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TavrelAgent' /v "$1" |
  sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
# The rights of the root's folders. Windows reports the descriptor the installer set; Wine keeps none of its own
# for a folder: it turns a descriptor into the folder's Unix mode and reports one made from that mode, in which
# only Everyone (the mode's bits for others) reflects what was set. So what Wine shows is that Everyone may read
# and run, never write; the Users' ACEs, the protection from inheritance and ExamData's and log's Users' write
# it does not show.
acl() { win 60 "$build/tests/bin/acl_probe.exe" show "$1"; }
check_rights() {
  local when=$1 d got
  for d in . Agent Temp Modules; do
    got=$(acl "$root_win\\$d")
    if [[ $got == *"(A;OICI;0x1200a9;;;WD)"* ]] ||
       [[ $got == D:P* && $got == *"(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"* && $got != *";;;WD)"* ]]; then
      pass "$when: $d is administrators' and SYSTEM's to write, everyone else's to read and run"
    else fail "$when: rights of $d" "$got"; fi
  done
}
task_file=$WINEPREFIX/drive_c/windows/system32/tasks/TavrelAgent
service_log() { cat "$root"/Agent/log/TavrelService.*.log 2>/dev/null | tr -d '\r'; }
service_state() { win 60 sc query TavrelService | sed -n 's/^ *STATE *: *[0-9]* *//p'; }
service_value() { win 60 reg query 'HKLM\System\CurrentControlSet\Services\TavrelService' /v "$1" |
  sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
# The pid of the agent the service started last, from the service's own log.
agent_pid() { service_log | sed -n 's/.*TavrelAgent started in session [0-9]*, pid \([0-9]*\)$/\1/p' | tail -n1; }
count_lines() { service_log | grep -c "$1"; }
log_text_has() { agent_log "$root" | grep -qF "$1"; }
# Waits up to $2 s for the service log to hold $3 lines with $1.
wait_lines() { local i; for i in $(seq 1 $(($2 * 4))); do [ "$(count_lines "$1")" -ge "$3" ] && return 0; sleep 0.25; done; return 1; }
# A machine with an examinee and no exam client running reports state 0, with its version, at every pass.
reported_version() {
  local want=$1 since=$2
  rs_get "/requests?route=sendEcpState&since=$since&min=1&wait=60000" >/dev/null 2>&1
  for _ in $(seq 1 30); do
    rs_get "/requests?route=sendEcpState&since=$since" >"$work/states" 2>/dev/null
    if [ "$(json "v.requests.some(r=>r.json&&r.json.ecpVersion===\"$want\")" <"$work/states")" = true ]; then return 0; fi
    sleep 2
  done
  return 1
}
# Records are numbered; "since" asks for those after a number.
last_seq() { rs_get /requests | json 'v.requests.reduce((m,r)=>Math.max(m,r.seq),0)'; }

ports=$(rs_get /ports) || die "room-server ports"
http_port=$(echo "$ports" | json v.http) socket_port=$(echo "$ports" | json v.socket)
rs_post /answer "{\"route\":\"getVersionInfo\",\"data\":\"$v1\"}" >/dev/null || die "version answer"

# ---- room deployment: the options of the administrator's one command line ------------------------------------
# A PC that ran a version with the logon task.
printf '<?xml version="1.0" encoding="UTF-16"?>\r\n<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task"><RegistrationInfo><Description>TavrelAgent 1.0.0.0</Description></RegistrationInfo><Actions Context="Author"><Exec><Command>notepad.exe</Command></Exec></Actions></Task>\r\n' |
  iconv -f UTF-8 -t UTF-16 >"$work/old-task.xml"
win 60 schtasks /Create /F /TN TavrelAgent /XML "Z:${work//\//\\}\\old-task.xml" >/dev/null
check "the older version's logon task is there before the install" test -f "$task_file"
title=考试系统
t0=$(last_seq)
# NSIS takes "/D=" only unquoted and last; cmd passes the line as written.
win 180 cmd.exe /c "Z:${setup1//\//\\} /S /Server=127.0.0.1 /ServerPort=$http_port /SocketPort=$socket_port /AppTitle=$title /ExitPassword=R7-secret /D=$root_win" ||
  fail "installer $v1 ends with code 0"
for f in Agent/TavrelAgent.exe Agent/shell.ini Agent/Uninstall.exe; do check "installed: $f" test -f "$root/$f"; done
for d in log Temp Modules ExamData/nrvq; do check "installed: folder $d" test -d "$root/$d"; done
printf '[Server]\r\nServer=127.0.0.1\r\nServerPort=%s\r\nSocketPort=%s\r\n[Application]\r\nAppTitle=%s\r\n' \
  "$http_port" "$socket_port" "$title" >"$work/shell.ini.expected"
check "shell.ini holds the options, AppTitle in UTF-8" cmp "$work/shell.ini.expected" <(grep -av '^ExitPasswordHash=' "$root/Agent/shell.ini")
# The exit password only as its salted PBKDF2 digest, checked here by another implementation.
exit_hash() { grep -a '^ExitPasswordHash=' "$root/Agent/shell.ini" | tr -d '\r' | cut -d= -f2-; }
pbkdf2_is() {
  python3 -c 'import hashlib,sys; s,n,salt,d=sys.argv[1].split("$"); sys.exit(not (s=="pbkdf2-sha256" and
    hashlib.pbkdf2_hmac("sha256",sys.argv[2].encode(),bytes.fromhex(salt),int(n)).hex()==d))' "$1" "$2"
}
hash1=$(exit_hash)
check "/ExitPassword=: shell.ini holds its PBKDF2 digest" pbkdf2_is "$hash1" R7-secret
check "/ExitPassword=: not the password itself" bash -c "! grep -aq R7-secret '$root/Agent/shell.ini'"
check "listed under installed programs with version $v1" test "$(reg_value DisplayVersion)" = "$v1"
check "listed with its uninstaller" test "$(reg_value UninstallString)" = "\"$root_win\\Agent\\Uninstall.exe\""
check_rights "installed"
check "the installer's own version is $v1" grep -q "$v1" <(iconv -f UTF-16LE -t UTF-8 -c "$setup1" 2>/dev/null | tr -cd '[:print:]\n')
check "installed: the service program beside the agent" test -f "$root/Agent/TavrelService.exe"
check "the logon task of the older version is deleted" test ! -e "$task_file"
check "service registered to start the installed service program" \
  test "$(service_value ImagePath)" = "\"$root_win\\Agent\\TavrelService.exe\""
check "service starts automatically" test "$(service_value Start)" = 0x2
check "service runs as LocalSystem" test "$(service_value ObjectName)" = LocalSystem
check "service is running" test "$(service_state)" = RUNNING

# The installer started the agent: it registers, joins its room and reports the installed version.
rs_get "/connections?open=1&min=1&wait=90000" >"$work/conn" || true
check "the installed agent opens its channel" test "$(json 'v.connections.length' <"$work/conn")" -ge 1
key=$(rs_get /machines | json 'v.machines.length?v.machines[0].ecpKey:""')
rs_post /machine "{\"ecpKey\":\"$key\",\"startup\":{\"examineeId\":\"E1\"}}" >/dev/null || fail "an examinee for $key"
check "the installed agent reports version $v1" reported_version "$v1" "$t0"
check "the service started the agent" test "$(count_lines 'TavrelAgent started in session')" = 1
mark "installed"

# ---- the service watches the agent -----------------------------------------------------------------------------
# Ended by its pid as Task Manager ends it (exit code 1; Wine's own taskkill /F leaves 0, a clean end): started
# again after 1 s, one restart line with the exit code.
pid=$(agent_pid)
t0=$(last_seq)
restarts=$(count_lines 'restart in')
killed_at=$(date +%s.%N)
win 30 "$build/tests/bin/gui_driver.exe" terminate "$pid" 1 >/dev/null || fail "agent $pid ended by its pid"
wait_lines 'TavrelAgent started in session' 10 2
back_at=$(date +%s.%N)
reported_version "$v1" "$t0" && reported_at=$(date +%s.%N) || reported_at=
check "the killed agent is started again within 5 s" \
  awk -v a="$killed_at" -v b="$back_at" 'BEGIN { exit !(b - a <= 5) }'
check "the agent started again reports its state" test -n "$reported_at"
check "one restart line with the exit code" test "$(count_lines 'ended with code [1-9][0-9]* (crashed or killed) after [0-9]* s: restart in 1 s')" = $((restarts + 1))
check "the agent started again has another pid" test "$(agent_pid)" != "$pid"
echo "      (kill to new agent $(awk -v a="$killed_at" -v b="$back_at" 'BEGIN { printf "%.1f", b - a }') s, to its first state report $(awk -v a="$killed_at" -v b="${reported_at:-0}" 'BEGIN { printf "%.1f", b - a }') s)"

# The exam client under the service: in the account of the session's user, with the agent's folder and line.
cp "$build/tests/bin/exam_client_stub.exe" "$root/Agent/Tavrel.exe"
echo stay_ms=2000 >"$root/Agent/exam_client_control.txt"
# No examinee yet: an agent whose examinee's client is gone only reports it and never starts one under them.
rs_post /machine "{\"ecpKey\":\"$key\",\"startup\":{\"isStartup\":true},\"unset\":[\"examineeId\"]}" >/dev/null ||
  fail "an exam start for $key"
for _ in $(seq 1 120); do grep -q '^ended ' "$root/Agent/exam_client_calls.log" 2>/dev/null && break; sleep 0.5; done
rs_post /machine "{\"ecpKey\":\"$key\",\"startup\":{\"isStartup\":false,\"examineeId\":\"E1\"}}" >/dev/null ||
  fail "exam start withdrawn"
session_user=$(win 30 cmd.exe /c echo %USERNAME%)
client_user=$(sed -n 's/^user=//p' "$root/Agent/exam_client_calls.log" | head -n1)
check "the exam client started under the service" grep -q '^line=.*--shell-app-version=' "$root/Agent/exam_client_calls.log"
check "the exam client runs as the session's user ($session_user), not SYSTEM" \
  test -n "$client_user" -a "$client_user" = "$session_user" -a "$client_user" != SYSTEM
check "the exam client runs in the agent's folder" grep -qF "cwd=$root_win\\Agent" "$root/Agent/exam_client_calls.log"

# The agent killed while its exam client runs and started again by the service: the one that comes back takes the
# client over (no second start, no status 0 while it runs) and uploads its log once when it ends.
calls_log=$root/Agent/exam_client_calls.log
echo stay_ms=120000 >"$root/Agent/exam_client_control.txt"
calls=$(grep -c '^call ' "$calls_log") ends=$(grep -c '^ended ' "$calls_log")
rs_post /machine "{\"ecpKey\":\"$key\",\"startup\":{\"isStartup\":true},\"unset\":[\"examineeId\"]}" >/dev/null
for _ in $(seq 1 120); do [ "$(grep -c '^call ' "$calls_log")" -gt "$calls" ] && break; sleep 0.5; done
rs_post /machine "{\"ecpKey\":\"$key\",\"startup\":{\"examineeId\":\"E1\"}}" >/dev/null
starts=$(count_lines 'TavrelAgent started in session')
win 30 "$build/tests/bin/gui_driver.exe" terminate "$(agent_pid)" 1 >/dev/null || fail "the agent ended during the exam"
wait_lines 'TavrelAgent started in session' 10 $((starts + 1))
t0=$(last_seq)
for _ in $(seq 1 60); do agent_log "$root" | grep -q '考试客户端已在运行' && break; sleep 0.5; done
sleep 8
check "killed during the exam: the agent that comes back takes the exam client over" log_text_has '考试客户端已在运行'
check "... the exam client still runs, and no second one was started" \
  test "$(grep -c '^ended ' "$calls_log")/$(grep -c '^call ' "$calls_log")" = "$ends/$((calls + 1))"
check "... no status 0 while it runs" \
  test "$(rs_get "/requests?route=sendEcpState&since=$t0" | json 'v.requests.filter(r=>r.json&&r.json.status===0).length')" = 0
echo "exam client log" >"$root/log/Tavrel.log"  # the exam client's own, which the agent uploads after it
touch "$root/Agent/exam_client_release"
rs_get "/requests?route=uploadTavrelLogs&since=$t0&min=1&wait=30000" >/dev/null
sleep 7
check "... when it ends, its log is uploaded once" \
  test "$(rs_get "/requests?route=uploadTavrelLogs&since=$t0" | json 'v.requests.length')" = 1
rm -f "$root/Agent/exam_client_release"
rs_post /machine "{\"ecpKey\":\"$key\",\"startup\":{\"isStartup\":false}}" >/dev/null
rm -f "$root/Agent/Tavrel.exe" "$root/Agent/exam_client_control.txt"

# The administrator's maintenance stop: the service ends the agent in order and stays stopped until started.
ends=$(agent_log "$root" | grep -c 'TavrelAgent Application End')
win 60 sc stop TavrelService >/dev/null
for _ in $(seq 1 120); do [ "$(service_state)" = STOPPED ] && break; sleep 0.5; done
check "sc stop: the service stops" test "$(service_state)" = STOPPED
check "sc stop: the agent ended in order" test "$(agent_log "$root" | grep -c 'TavrelAgent Application End')" = $((ends + 1))
check "sc stop: the service log says so" test "$(count_lines 'TavrelAgent ended with code 0 (exit password or asked to end), as asked')" = 1
t0=$(last_seq)
win 60 sc start TavrelService >/dev/null
check "sc start: the agent runs again" reported_version "$v1" "$t0"

# An agent that ends with 0 (here asked by the service's own helper, as the exit password ends it) stays ended.
starts=$(count_lines 'TavrelAgent started in session')
win 30 "$root/Agent/TavrelService.exe" /EndAgent || fail "the agent's window found"
wait_lines 'it stays ended' 30 1
sleep 8
check "an agent that ends with 0 stays ended" test "$(count_lines 'TavrelAgent started in session')" = "$starts"
check "the service log says it stays ended" test "$(count_lines 'ended with code 0 (exit password or asked to end) after [0-9]* s: it stays ended')" = 1
check "the service still runs" test "$(service_state)" = RUNNING
mark "supervised"

# ---- a hand-run reinstall with one option: the running agent is asked to end, the other settings stay ----------
# The room's trust settings are keys the options do not name: a re-pointing install keeps every one of them.
trust_ini() {
  printf '[Server]\r\nServer=%s\r\nServerPort=%s\r\nSocketPort=%s\r\nScheme=http\r\nCaFile=room-ca.pem\r\n' "$1" "$http_port" "$socket_port"
  printf '[Application]\r\nAppTitle=%s\r\nExitPasswordHash=%s\r\n[Update]\r\nPublisher=Exam Vendor Ltd\r\nThumbprint=%s\r\n' \
    "$title" "$hash1" "$(printf 'ab%.0s' $(seq 32))"
}
trust_ini 127.0.0.1 >"$root/Agent/shell.ini"
t0=$(last_seq)
win 180 "$setup1" /S /Server=127.1 || fail "reinstall ends with code 0"
trust_ini 127.1 >"$work/shell.ini.changed"
check "reinstall into the installed root, one setting changed, the others (Scheme, CaFile, Publisher, Thumbprint) kept byte for byte" \
  cmp "$work/shell.ini.changed" "$root/Agent/shell.ini"
check "reinstall: the exit password's digest kept" test "$(exit_hash)" = "$hash1"
win 180 "$setup1" /S /ExitPassword=Short-7 && fail "/ExitPassword= of seven characters refused" "ended with 0" ||
  pass "/ExitPassword= of seven characters refused"
check "a refused /ExitPassword= changes nothing" cmp "$work/shell.ini.changed" "$root/Agent/shell.ini"
# The self-update below offers an unsigned installer: the publisher goes again, and the agent reads it anew.
{ sed "s/^Server=127.0.0.1/Server=127.1/" "$work/shell.ini.expected"; printf 'ExitPasswordHash=%s\r\n' "$hash1"; } \
  >"$root/Agent/shell.ini"
win 60 sc stop TavrelService >/dev/null
for _ in $(seq 1 120); do [ "$(service_state)" = STOPPED ] && break; sleep 0.5; done
t0=$(last_seq)
win 60 sc start TavrelService >/dev/null
check "the agent runs again after the reinstall, started by the service" reported_version "$v1" "$t0"
check "the service runs after the reinstall" test "$(service_state)" = RUNNING
mark "reinstalled"

# ---- the self-update round trip ------------------------------------------------------------------------------
# Rights loosened by hand (Everyone full control, inherited from above) are mended by the next update.
win 60 "$build/tests/bin/acl_probe.exe" set "$root_win\\Agent" "D:(A;OICI;FA;;;WD)" || fail "loosening the rights of Agent"
check "Agent loosened by hand: everyone may write" grep -q '0x1301ff;;;WD' <(acl "$root_win\\Agent")
printf 'answer of examinee E1\0\1\2\377' >"$root/ExamData/nrvq/E1.oef"
cp "$root/ExamData/nrvq/E1.oef" "$work/answer.before"
cp "$root/Agent/shell.ini" "$work/shell.ini.before"
t0=$(last_seq)
printf '{"route":"updateTavrel","bytes":{"base64":"%s"}}' "$(base64 -w0 "$setup2")" >"$work/offer.json"
curl -sSf --max-time 40 -H 'Content-Type: application/json' --data-binary @"$work/offer.json" "http://$TAVREL_ROOM_SERVER/answer" >/dev/null ||
  die "offering the installer"
rs_post /answer "{\"route\":\"getVersionInfo\",\"data\":\"$v2\"}" >/dev/null || die "version answer"
rs_get "/requests?route=updateTavrel&since=$t0&min=1&wait=60000" >"$work/download" || true
check "the agent downloads the installer" test "$(json 'v.requests.length' <"$work/download")" -ge 1
check "the new agent runs and reports version $v2" reported_version "$v2" "$t0"
check "the downloaded installer is the one offered" cmp "$setup2" "$root/Temp/Tavrel_Setup.exe"
check "listed under installed programs with version $v2" test "$(reg_value DisplayVersion)" = "$v2"
check 'the root named as "Agent\..\" is stored plain' test "$(reg_value InstallLocation)" = "$root_win"
check "shell.ini kept byte for byte" cmp "$work/shell.ini.before" "$root/Agent/shell.ini"
check "the answer file kept byte for byte" cmp "$work/answer.before" "$root/ExamData/nrvq/E1.oef"
agent_log "$root" >"$work/log.txt"
check "log: the server's version $v2" grep -qF "===Server Version====$v2" "$work/log.txt"
check "log: the update from $v1" grep -qF "Begin Update$v1" "$work/log.txt"
check "log: the download finished" grep -qF "更新包下载完成" "$work/log.txt"
check "log: the old agent ended before the new one began" \
  test "$(grep -n 'TavrelAgent Application End' "$work/log.txt" | head -n1 | cut -d: -f1)" -lt \
       "$(grep -n 'Subject : TavrelAgent Application' "$work/log.txt" | tail -n1 | cut -d: -f1)"
check "the new agent runs under the service" test "$(service_state)" = RUNNING -a \
  "$(service_log | tail -n 5 | grep -c 'TavrelAgent started in session')" -ge 1
check "the old agent's end with 10 did not start it again" test "$(count_lines 'restart in [0-9]* s$')" = $((restarts + 2))
check "the service log names the installer's end and waits for it" \
  test "$(count_lines 'ended with code 10 (installer started) after [0-9]* s: restart in 300 s unless the installer replaces it')" = 1
check "the service's description names version $v2" grep -qF "$v2" <(service_value Description)
check_rights "updated"
mark "updated"

# ---- uninstall -------------------------------------------------------------------------------------------------
win 120 "$root/Agent/Uninstall.exe" /S || fail "uninstaller ends with code 0"
# The uninstaller runs from a copy of itself in the temporary folder; the files go a moment later.
for _ in $(seq 1 120); do [ -e "$root/Agent/TavrelAgent.exe" ] || break; sleep 0.5; done
check "uninstall: the agent is gone" test ! -e "$root/Agent/TavrelAgent.exe"
check "uninstall: the uninstaller is gone" test ! -e "$root/Agent/Uninstall.exe"
check "uninstall: the service program is gone" test ! -e "$root/Agent/TavrelService.exe"
check "uninstall: the service is gone" test -z "$(service_value ImagePath)"
check "uninstall: no longer listed" test -z "$(reg_value DisplayVersion)"
check "uninstall: the answer file stays" cmp "$work/answer.before" "$root/ExamData/nrvq/E1.oef"
check "uninstall: the log stays" test -n "$(agent_log "$root")"
check "uninstall: shell.ini stays" cmp "$work/shell.ini.before" "$root/Agent/shell.ini"
rs_get "/connections?open=1" >"$work/conn"
check "uninstall: the running agent ended in order, as every agent but the two killed" \
  test "$(agent_log "$root" | grep -c "TavrelAgent Application End")" = $(($(agent_log "$root" | grep -c "Subject : TavrelAgent Application") - 2))
check "uninstall: its channel is closed" test "$(json 'v.connections.length' <"$work/conn")" = 0
mark "uninstalled"

mark "done"
on_failure() { echo "--- agent's log ---"; agent_log "$root" | tail -n 30; }
verdict on_failure
