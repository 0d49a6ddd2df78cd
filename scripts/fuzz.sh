#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in build-fuzz
# and runs each for a bounded time on a copy of its seed corpus in fuzz/corpus/<target> (the
# repository's corpus is never changed). Fails on any crash, reference mismatch, time-out, memory
# limit, leak or sanitizer report; the input that caused it is kept in build-fuzz/artifacts/<target>.
#
#   FUZZ_SECONDS   seconds per target (default 30)
#   FUZZ_TARGETS   targets to run (default all: fuzz_buffer fuzz_readln fuzz_ipv6 fuzz_format fuzz_logentry)
#
# Longer local run: an hour per target, keeping what the fuzzer learns between runs in a corpus
# of your own (the seeds are read, new inputs go to the first folder):
#   FUZZ_SECONDS=3600 scripts/fuzz.sh
#   mkdir -p ~/fuzz-corpus/fuzz_readln
#   build-fuzz/fuzz/fuzz_readln -max_total_time=3600 -rss_limit_mb=2048 -timeout=10 \
#       ~/fuzz-corpus/fuzz_readln fuzz/corpus/fuzz_readln
# A crash input replays with build-fuzz/fuzz/<target> <file>; FUZZ_TRACE=1 prints the steps of
# the operation-script targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh clang libclang-rt-14-dev

seconds="${FUZZ_SECONDS:-30}"
targets="${FUZZ_TARGETS:-fuzz_buffer fuzz_readln fuzz_ipv6 fuzz_format fuzz_logentry fuzz_proxyheader}"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "=== fuzz: configure and build ==="
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= -DID_SANITIZE=none \
  -DID_FUZZ=ON -DID_BUILD_TESTS=OFF -DID_BUILD_GUI=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build build-fuzz -j 2 --target $targets

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=()
for target in $targets; do
  echo "=== fuzz: $target for ${seconds}s ==="
  mkdir -p "$work/$target" "build-fuzz/artifacts/$target"
  cp -r "fuzz/corpus/$target/." "$work/$target/"
  log="build-fuzz/artifacts/$target.log"
  if "build-fuzz/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target/" "$work/$target" >"$log" 2>&1 \
      && ! grep -qE 'runtime error|ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)' "$log"; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" | tail -1
  else
    echo "=== fuzz: $target FAILED (log: $log) ==="
    grep -E 'MISMATCH|ERROR|runtime error|SUMMARY|Test unit written' "$log" | head -20 || true
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "=== fuzz: failed: ${failed[*]} ==="
  exit 1
fi
echo "=== fuzz: all targets passed ==="
