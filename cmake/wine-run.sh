#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PREFIX LOADER PROGRAM [ARGS...].
# The prefix is private to the build folder and thrown away with it. Its first start takes a few
# seconds; test programs started in parallel wait for it instead of each creating the prefix.
set -eu
prefix=$1
loader=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$loader" wineboot.exe --init >/dev/null 2>&1 || true
      "$(dirname "$loader")/wineserver64" -w 2>/dev/null || true
    fi
  ) 9>"$prefix.lock"
fi
exec "$loader" "$@"
