#!/usr/bin/env bash
# Installs what the build needs, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DID_BUILD_TESTS=OFF >/dev/null
cmake --build build-release
if [ -x build-release/app/LineServer ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  echo "Starting the window (a display is available)."
  exec build-release/app/LineServer "$@"
elif [ -x build-release/app/LineServerConsole ]; then
  echo "No display: starting the console front-end."
  exec build-release/app/LineServerConsole "$@"
else
  echo "The program is not built yet: the framework builds, the window comes with the application."
fi
