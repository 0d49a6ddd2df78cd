#!/usr/bin/env bash
# Installs what the build needs, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# A folder of its own: the test command's release build shares the flags but builds the tests and
# turns warnings into errors, and a shared cache would carry either into the other.
dir=build-run
if [ ! -f "$dir/build.ninja" ]; then
  echo "Building, about a minute on first run (2 cores)."
else
  echo "Building."
fi
# The build's output is shown only when it fails, so that the program's own output stands alone.
log="$dir.log"
if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS= -DID_BUILD_TESTS=OFF \
       -DID_WERROR=OFF -DID_SANITIZE=none \
       && cmake --build "$dir"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "The build failed (full output above and in $log)." >&2
  exit 1
fi
if [ -x "$dir/app/LineServer" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  echo "Starting the window (a display is available)."
  exec "$dir/app/LineServer" "$@"
fi
echo "No display: starting the console front-end."
exec "$dir/app/LineServerConsole" "$@"
