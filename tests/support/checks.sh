# shellcheck shell=bash
# What the shell tests share (the invigilator's windows and the installer's round trip under Wine, the .deb):
# their checks and verdict, the room-server's control calls, and the agent's log as text. Sourced, not run:
#   source "<repo>/tests/support/checks.sh"

failures=0
pass() { echo "ok    $1"; }
fail() { echo "FAIL  $1${2:+: $2}"; failures=$((failures + 1)); }
# check NAME CMD ARGS...: what CMD prints is not shown, what it complains about is.
check() { local name=$1; shift; if "$@" >/dev/null; then pass "$name"; else fail "$name"; fi; }
die() { fail "$@"; exit 1; }
# The last word: "all checks passed", or the failures after what CMD ARGS... (if given) shows, and exit code 1.
verdict() {
  if [ "$failures" -eq 0 ]; then echo "all checks passed"; exit 0; fi
  if [ "$#" -gt 0 ]; then "$@"; fi
  echo "$failures check(s) failed"
  exit 1
}

# tools/room-server's control interface at TAVREL_ROOM_SERVER (tests/with-room-server.sh sets it). A GET may
# long-poll (wait=, 120 s at most); json EXPR prints EXPR over the answer read from stdin as v.
rs_get() { curl -sSf --max-time 130 "http://$TAVREL_ROOM_SERVER$1"; }
rs_post() {
  local body=${2:-'{}'}
  curl -sSf --max-time 40 -H 'Content-Type: application/json' -d "$body" "http://$TAVREL_ROOM_SERVER$1"
}
json() { node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>{const v=JSON.parse(s);
  const r=Function("v","return ("+process.argv[1]+")")(v);console.log(typeof r==="string"?r:JSON.stringify(r));})' "$1"; }

# agent_log ROOT: every dated log of the agent installed under ROOT, in UTF-8 (the Windows agent writes GBK).
agent_log() { cat "$1"/Agent/log/TavrelAgent.*.log 2>/dev/null | iconv -f GBK -t UTF-8 2>/dev/null; }
