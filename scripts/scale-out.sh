#!/usr/bin/env bash
# Several console instances behind HAProxy on loopback: replies per second through the balancer
# against one instance directly, one instance ended with SIGKILL in the middle of a run, and the
# clients' own addresses in the instances' logs. Writes docs/SCALING.md. Not part of the tests.
#
#   bash scripts/scale-out.sh            (SCALE_INSTANCES=3, SCALE_SECONDS=5, SCALE_OUT=docs/SCALING.md)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh haproxy python3
dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DID_BUILD_TESTS=OFF -DID_BUILD_GUI=OFF >/dev/null
cmake --build "$dir" --target LoadGen LineServerConsole
python3 scripts/scale_out.py "$dir" "${SCALE_OUT:-docs/SCALING.md}" --instances "${SCALE_INSTANCES:-3}" \
  --seconds "${SCALE_SECONDS:-5}"
