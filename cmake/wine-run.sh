#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PREFIX LOADER PROGRAM [ARGS...].
# The prefix is private to the build folder and thrown away with it. Its first start takes a few
# seconds; test programs started in parallel wait for it instead of each creating the prefix.
set -eu
prefix=$1
loader=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all
server="$(dirname "$loader")/wineserver64"
# The prefix counts as made only once the server of its making has gone: its registry files appear
# earlier, and a program started then joins that server just as it ends, and fails at once.
if [ ! -f "$prefix/.made" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.made" ]; then
      "$loader" wineboot.exe --init </dev/null >/dev/null 2>&1 9>&- || true
      "$server" -w 2>/dev/null 9>&- || true
      touch "$prefix/.made"
    fi
  ) 9>"$prefix.lock"
fi
# One server for the whole run. Left to itself, the loader starts a server that ends as soon as its
# last program has, and the next program starts a new one together with the prefix's services; a
# program started while that server winds down fails before it runs a line of its own ("wine client
# error: recvmsg: Connection reset by peer"). A server started here stays for a minute after its
# last program; while one runs, starting another does nothing.
# The first program of a server starts the prefix's services, which live as long as the server and
# keep open whatever output they inherit: CTest would wait for them as for the test. So a program
# with no output starts them, and the tests wait for that under the lock. Nothing started under the
# lock may inherit it, or the lock would be held as long as the server lives.
(
  flock 9
  if "$server" -p60 </dev/null >/dev/null 2>&1 9>&-; then
    "$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"
exec "$loader" "$@"
