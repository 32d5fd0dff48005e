#!/usr/bin/env bash
# The Linux package end to end: CPack makes the .deb from this build; dpkg installs it into a root of its own
# (never the machine's), reinstalls it over a room's settings, removes it and purges it. The systemd unit is
# checked by systemd-analyze where it exists; no systemd needs to run.
#
# Environment: TAVREL_SOURCE_DIR, TAVREL_BUILD_DIR (a Linux build with TavrelAgent), TAVREL_VERSION.
set -u
: "${TAVREL_SOURCE_DIR:?}" "${TAVREL_BUILD_DIR:?}" "${TAVREL_VERSION:?}"
build=$TAVREL_BUILD_DIR version=$TAVREL_VERSION
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

# shellcheck source=tests/support/checks.sh
source "$TAVREL_SOURCE_DIR/tests/support/checks.sh"

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; exit 1; }
deb=$(ls "$work"/pkg/tavrel-agent_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { cat "$work/cpack.log"; fail "no .deb made"; exit 1; }
echo "package: $(basename "$deb")"
check "package version is the agent's" test "$(dpkg-deb -f "$deb" Version)" = "$version"
# Each shared library the agent needs is a dependency: libc6 always, libcurl only where it is not linked in.
depends_on_needed() {
  local depends needed
  depends=$(dpkg-deb -f "$deb" Depends)
  needed=$(readelf -d "$build/TavrelAgent" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  grep -q libc6 <<<"$depends" || return 1
  if grep -q '^libcurl' <<<"$needed"; then grep -q libcurl <<<"$depends" || return 1; fi
  return 0
}
check "package depends on the libraries the agent links" depends_on_needed
dpkg-deb -c "$deb" >"$work/contents"
check "package holds the agent" grep -q ' ./opt/tavrel-agent/Agent/TavrelAgent$' "$work/contents"
check "package holds the service" grep -q ' ./lib/systemd/system/tavrel-agent.service$' "$work/contents"
# Every entry root's, and writable by root alone.
bad_entries() {
  awk '$2 != "root/root" || (/^d/ && $1 != "drwxr-xr-x") || (/ \.\/opt\/tavrel-agent\/Agent\/TavrelAgent$/ && $1 != "-rwxr-xr-x") ||
       (/tavrel-agent\.service$/ && $1 != "-rw-r--r--")' "$work/contents"
}
check "package entries: root's, with their modes" test -z "$(bad_entries)"
check "package ships no settings, logs or answers" bash -c "! grep -qE 'shell.ini|/log/|ExamData' '$work/contents'"

# A dpkg root of its own: maintainer scripts run outside a chroot with DPKG_ROOT pointing there.
r=$work/root
mkdir -p "$r/var/lib/dpkg/info" "$r/var/lib/dpkg/updates" "$r/var/lib/dpkg/triggers"
touch "$r/var/lib/dpkg/status"
dpkg_r() { dpkg --root="$r" --log=/dev/null --force-script-chrootless --force-depends --force-not-root "$@" >>"$work/dpkg.log" 2>&1; }
o=$r/opt/tavrel-agent

check "dpkg -i" dpkg_r -i "$deb"
check "installed: the agent, executable" test -x "$o/Agent/TavrelAgent"
check "installed: the service" test -f "$r/lib/systemd/system/tavrel-agent.service"
for d in log Temp Modules ExamData/nrvq; do check "installed: folder $d" test -d "$o/$d"; done
check "installed: an empty shell.ini to fill in" grep -q '^Server=' "$o/Agent/shell.ini"
modes() { for p in "$@"; do stat -c '%a %U' "$o/$p"; done | tr '\n' ' '; }
check "installed: folders 755, the agent's log 700 and shell.ini 600, root's" test "$(modes . Agent log Temp Modules ExamData ExamData/nrvq Agent/log Agent/shell.ini)" = \
  "755 root 755 root 755 root 755 root 755 root 755 root 755 root 700 root 600 root "
check "the installed agent carries version $version" grep -qa "TAVREL-FILE-VERSION:$version" "$o/Agent/TavrelAgent"

printf '[Server]\r\nServer=10.1.2.3\r\nServerPort=8080\r\nSocketPort=9090\r\n[Application]\r\nAppTitle=考试\r\n' >"$o/Agent/shell.ini"
cp "$o/Agent/shell.ini" "$work/shell.ini.before"
printf 'answer\0\1' >"$o/ExamData/nrvq/E1.oef"
echo "a log line" >"$o/Agent/log/TavrelAgent.20240307.log"
chmod 0777 "$o/Temp"; chmod 0666 "$o/Agent/shell.ini"
check "dpkg -i again (an update)" dpkg_r -i "$deb"
check "update mends the modes" test "$(modes Temp Agent/shell.ini)" = "755 root 600 root "
check "update keeps shell.ini byte for byte" cmp "$work/shell.ini.before" "$o/Agent/shell.ini"

check "dpkg -r" dpkg_r -r tavrel-agent
check "removed: the agent" test ! -e "$o/Agent/TavrelAgent"
check "removed: the service" test ! -e "$r/lib/systemd/system/tavrel-agent.service"
check "removal keeps shell.ini" cmp "$work/shell.ini.before" "$o/Agent/shell.ini"
check "removal keeps the answers" test -f "$o/ExamData/nrvq/E1.oef"
check "removal keeps the logs" test -f "$o/Agent/log/TavrelAgent.20240307.log"
check "dpkg --purge" dpkg_r --purge tavrel-agent
check "purge forgets shell.ini" test ! -e "$o/Agent/shell.ini"
check "purge keeps the answers" test -f "$o/ExamData/nrvq/E1.oef"
check "purge keeps the logs" test -f "$o/Agent/log/TavrelAgent.20240307.log"

# The unit as systemd reads it, with ExecStart pointing at a real agent file.
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$work/unit"
  sed "s|/opt/tavrel-agent|$work/unit/opt|g" "$TAVREL_SOURCE_DIR/installer/linux/tavrel-agent.service" \
    >"$work/unit/tavrel-agent.service"
  mkdir -p "$work/unit/opt/Agent" && cp "$build/TavrelAgent" "$work/unit/opt/Agent/TavrelAgent"
  if SYSTEMD_LOG_LEVEL=warning systemd-analyze verify "$work/unit/tavrel-agent.service" >"$work/verify.log" 2>&1 &&
     ! grep -q "tavrel-agent.service" "$work/verify.log"; then
    pass "systemd-analyze verify"
  else
    cat "$work/verify.log"; fail "systemd-analyze verify"
  fi
  check "service: restarts on failure" grep -q '^Restart=on-failure$' "$work/unit/tavrel-agent.service"
  check "service: a clean end (exit 0, SIGTERM) is not a failure" \
    bash -c "! grep -qE '^(SuccessExitStatus|RestartForceExitStatus)=' '$work/unit/tavrel-agent.service'"
  check "service: an installer started (10) is left to the installer, and to a timer of 5 minutes" \
    bash -c "grep -q '^RestartPreventExitStatus=10$' '$work/unit/tavrel-agent.service' &&
             grep -q '^ExecStopPost=.*EXIT_STATUS\" = 10 .*--on-active=300 .*systemctl start tavrel-agent' '$work/unit/tavrel-agent.service'"
  check "service: a crash loop is never given up" grep -q '^StartLimitIntervalSec=0$' "$work/unit/tavrel-agent.service"
  check "service: stops with SIGTERM" grep -q '^KillSignal=SIGTERM$' "$work/unit/tavrel-agent.service"
else
  echo "skip  systemd-analyze not installed"
fi

on_failure() { echo "--- dpkg ---"; tail -n 30 "$work/dpkg.log"; }
verdict on_failure
