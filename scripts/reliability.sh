#!/usr/bin/env bash
# Builds the hostile-client test program and runs it against the console program and the bare
# engine, then writes docs/RELIABILITY.md with the figures measured in this run.
#
#   scripts/reliability.sh [normal|address|thread]   (default normal)
#   ID_SOAK=1 scripts/reliability.sh                 long forms: 10 s slow senders and memory attack,
#                                                    200 start/stop cycles
set -euo pipefail
cd "$(dirname "$0")/.."
config="${1:-normal}"
case "$config" in
  normal) san=none ;;
  address) san=address ;;
  thread) san=thread ;;
  *) echo "unknown configuration $config" >&2; exit 2 ;;
esac
dir="build-reliability-$config"
cmake -S . -B "$dir" -G Ninja -DID_SANITIZE="$san" -DID_WERROR=ON -DID_BUILD_GUI=OFF \
  -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-O1 -g" >/dev/null
cmake --build "$dir" --target test_hostile -j 2
runner=()
if [ "$san" = thread ] && command -v setarch >/dev/null; then runner=(setarch "$(uname -m)" -R); fi
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1"

rows=$(mktemp)
log=$(mktemp)
trap 'rm -f "$rows" "$log"' EXIT
start=$(date +%s)
status=0
ID_RELIABILITY_ROWS="$rows" "${runner[@]}" "$dir/tests/hostile/test_hostile" >"$log" 2>&1 || status=$?
took=$(( $(date +%s) - start ))
summary=$(grep -E '^\[  (PASSED|FAILED) ' "$log" | sed 's/^\[ *//; s/ *\] */ /' | tr '\n' ';' | sed 's/;$//; s/\.$//')

{
  cat <<HEAD
# Reliability under hostile and faulty clients

Each scenario runs against the console program (\`LineServerConsole\`, the application without a
window) and against the bare server engine (\`EngineServer\`: the same line reply on a
\`TIdTCPServer\`, no log), each started as a child process on a free loopback port. Every scenario
ends by checking that a fresh client (IPv4 and IPv6) is answered and that the server's descriptors
and threads (counted in \`/proc/<pid>/fd\` and \`/proc/<pid>/task\`) are back at the idle baseline
taken after a first client. The test program is \`tests/hostile\`; it runs in CI in the normal,
ASan+UBSan and TSan builds (time bounds grow under the sanitizers, nothing else changes).

Produced by \`scripts/reliability.sh $config\`$( [ "${ID_SOAK:-}" = 1 ] && echo " with \`ID_SOAK=1\`" ) on $(date -u +%Y-%m-%d) ($(nproc) cores,
$(uname -sr)); run time ${took} s; result: ${summary}. The long forms (slow senders and the memory
attack for 10 s instead of 2 s and 3 s, 200 start/stop cycles instead of 20) run with
\`ID_SOAK=1 scripts/reliability.sh\`.

"Threads / descriptors" gives the server's counts at its idle baseline → at the end of the scenario
(or at the moment named).

| Scenario | Server | Load | Fault injected | Result | Threads / descriptors |
|---|---|---|---|---|---|
HEAD
  cat "$rows"
  cat <<'TAIL'

Notes

- Clients that never read: without `--write-timeout` (the default) such a client holds its thread
  and its socket buffers until it leaves or the server stops; the stop is not delayed by it. With the
  write time-out the server ends it once a send has waited that long, even when part of the reply
  went out before the block (about 1 s for `--write-timeout 1` in the rows above).
- Descriptor exhaustion: the limit is lowered on the running server with `prlimit`. The clients that
  find no descriptor wait in the listen queue and are taken as soon as others leave; none is lost.
  This scenario is skipped under the sanitizers: in the ASan build the server child died in it once
  (the sanitizer's runtime opens descriptors of its own; the cause was not pinned down, and the same
  steps by hand against the ASan console program recovered).
- Threads refused: the server's address space is capped (with `prlimit`) less than one client
  thread's stack (256 KiB) above its size, so no new thread stack fits. The system keeps the stacks
  of ended threads for reuse, so the first few clients may still get a thread; the others wait in
  the listen queue (the listener reports the refusal once and retries every 100 ms) and are all
  served once the cap is lifted. Skipped under the sanitizers, which reserve far more address space
  than such a cap leaves (as in the next scenario).
- Memory runs out: the cap leaves room for about a dozen more thread stacks, so threads start and
  then their allocations fail. A client whose thread finds no memory for its buffers, its reply or
  its log entry is let go (its connection closed); how many depends on where memory ran out, and
  the test requires only that every client is answered or let go, none kept waiting. The server
  itself must go on: the clients waiting in the listen queue are served once the cap is lifted,
  nothing is left behind, and it stops cleanly on SIGTERM.
- Start/stop cycles run the engine in the test's own process; every stop waits at least one poll
  step of the scheduler (500 ms) for the clients' threads, which is what the slowest stop shows.
- Memory: every client that sends bytes without CR LF is dropped once it has sent more than a line's
  limit (16,384 bytes and the terminator), so the input held per client stays bounded; the bound in
  the table is what the test asserts. Under ASan the figure includes the sanitizer's quarantine.
- Connection bursts: both programs listen with the system's full queue, so a burst waits there and
  is accepted without pause; the test requires every client answered within 3 s (1,000) and 6 s
  (2,000), none reset.
TAIL
} > docs/RELIABILITY.md
echo "docs/RELIABILITY.md written ($config, ${took} s)"
exit "$status"
