#!/usr/bin/env bash
# Installs what the build needs, then builds and runs every test in four configurations:
# release (built as the run command builds the program), normal, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer. After the release tests it runs the run command
# itself in a fresh copy of the tree, and installs the framework and builds the examples against it. Then the fuzz targets, and the framework's Windows build under
# Wine. Any failure, warning or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh python3 pkg-config

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
export QT_QPA_PLATFORM=offscreen

configs=("${@:-release normal address thread}")
read -r -a configs <<<"${configs[*]}"
total_pass=0
for config in "${configs[@]}"; do
  # The release configuration takes the run command's build type and flags (-O3, no assertions);
  # the others build at -O1 with debug information, fast enough for the sanitizers.
  flags=(-DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-O1 -g")
  case "$config" in
    release) san=none; flags=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=) ;;
    normal) san=none ;;
    address) san=address ;;
    thread) san=thread ;;
    *) echo "unknown configuration $config" >&2; exit 2 ;;
  esac
  dir="build-$config"
  echo "=== $config: configure and build ==="
  cmake -S . -B "$dir" -G Ninja -DID_SANITIZE="$san" -DID_WERROR=ON -DID_BUILD_TESTS=ON "${flags[@]}" >/dev/null
  cmake --build "$dir"
  echo "=== $config: tests ==="
  runner=()
  # ThreadSanitizer needs the address space layout it was built for; newer kernels randomise
  # more bits than it accepts, so its tests run without address randomisation.
  if [ "$san" = thread ] && command -v setarch >/dev/null; then runner=(setarch "$(uname -m)" -R); fi
  (cd "$dir" && "${runner[@]}" ctest --output-on-failure --timeout 600 -j 3 | tee ctest.log)
  if ! grep -q '100% tests passed' "$dir/ctest.log"; then
    echo "=== $config: tests failed ==="
    exit 1
  fi
  n=$(grep -oE 'out of [0-9]+' "$dir/ctest.log" | tail -1 | grep -oE '[0-9]+')
  total_pass=$((total_pass + n))
  if [ "$config" = release ]; then
    echo "=== release: the run command on a fresh tree ==="
    bash scripts/check-run.sh
    echo "=== release: the framework installed, and the examples built against it ==="
    bash scripts/test-package.sh "$dir"
    bash scripts/test-packages.sh debian  # the Debian packages installed, checked and purged
    echo "=== release: the console behind a real load balancer ==="
    if bash scripts/deps.sh haproxy >/dev/null 2>&1; then
      python3 tests/app/balancer_check.py "$dir/app/LineServerConsole"
    else
      echo "skipped: haproxy cannot be installed on this machine"
    fi
  fi
done
# The fuzz targets (clang, each for a bounded time) and the framework built for Windows, its tests
# run under Wine.
bash scripts/fuzz.sh
bash scripts/test-windows.sh
bash scripts/test-packages.sh windows build-windows  # the installer under Wine, from that build
echo "=== all configurations passed ==="
echo "$total_pass passed, 0 failed"
