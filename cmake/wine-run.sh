#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, bounded by a timeout. The prefix is made on
# first use (mkdir, a persistent wineserver, wineboot -i). LC_ALL=zh_CN.UTF-8 gives Wine the ANSI code page
# 936 (GBK) of the exam rooms.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$repo/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export LC_ALL=${TAVREL_WINE_LOCALE:-zh_CN.UTF-8}
limit=${TAVREL_WINE_TIMEOUT:-900}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      timeout 60 wineserver -p300 </dev/null >/dev/null 2>&1 9>&- || true
      timeout 300 wineboot -i </dev/null >/dev/null 2>&1 9>&- || { echo "wine-run: wineboot failed" >&2; exit 1; }
      # Without a display Wine can only make windows with its null driver; set it before its desktop starts.
      if [ -z "${DISPLAY:-}" ]; then
        timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&- || true
        timeout 60 wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
      fi
    fi
  ) 9>"$WINEPREFIX.lock" || exit 1
fi
# Wine's own background processes (services, explorer) outlive the program and inherit its output;
# start them first with no output of ours, or whoever reads our output waits until they end.
timeout 60 wineserver -p300 </dev/null >/dev/null 2>&1 || true
timeout 120 wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
exec timeout -k 10 "$limit" wine "$@"
