#!/bin/sh
# wine-run.sh PREFIX ARCH PROGRAM [ARGS...]: runs a Windows program under Wine
# in the build's own prefix, creating the prefix on first use.
set -e
prefix=$1 arch=$2
shift 2
export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all
if [ "$arch" = win64 ]; then loader=/usr/lib/wine/wine64; else loader=/usr/lib/wine/wine; fi
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  # One creation at a time when tests start in parallel.
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$loader" wineboot -i >/dev/null 2>&1 || true
      "${loader%/*}/wineserver" -w 2>/dev/null || true
    fi
  ) 9>"$prefix.lock"
fi
# Wine's server and its background services, started along with a program,
# would hold the caller's output pipes open until they time out. Start them
# detached from every pipe first; they linger 30 s for the next run.
if "${loader%/*}/wineserver" -p30 </dev/null >/dev/null 2>&1; then
  "$loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
