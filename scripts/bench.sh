#!/usr/bin/env bash
# The benchmark: builds the servers and the load generator in release mode (in build-bench), runs
# every cell against four servers on loopback, and writes docs/BENCHMARKS.md with the medians, the
# ratios to our engine, the targets met or missed and a plot.
#
#   bash scripts/bench.sh
#
# The servers: engine (bench/EngineServer: the line reply on a bare TIdTCPServer, no log), pooled
# (the same on the pooled scheduler, keeping up to 64 finished clients' threads), headless
# (app LineServerConsole, its output to /dev/null; in the connect cell also headless-pooled, with
# --thread-pool 64), poco and asio (bench/peers), and floor
# (bench/peers/EpollServer: one thread over epoll, the limit on this machine). Each run starts the
# server afresh on a free port, so no run inherits another's threads, memory or TIME_WAIT; within a
# cell the servers take turns, and the order shifts by one with every round.
#
# Settings (environment):
#   BENCH_SECONDS=5            measuring time of the ping-pong, pipeline and connect cells
#   BENCH_WARMUP=0.5           time before the measuring window
#   BENCH_RUNS=3               runs of every server in every cell (medians are reported)
#   BENCH_CELLS="pingpong pipeline connect idle stop callgrind"   which cells to run
#   BENCH_CONNS="1 16 64 256"  connection counts of the ping-pong cell
#   BENCH_SERVERS="engine pooled headless poco asio floor"
#   BENCH_IDLE_CONNS=1000 BENCH_IDLE_SECONDS=10 BENCH_STOP_CONNS=1000
#   BENCH_CALLGRIND_REPLIES=10000   replies of the fixed workload counted under callgrind
#   BENCH_OUT=docs/BENCHMARKS.md    the report (the plot goes beside it)
#   BENCH_QUICK=1              a smoke run of about a minute: 1 s cells, one run, 2 s idle, fewer
#                              replies under callgrind, the report in build-bench/ unless BENCH_OUT
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir="$root/build-bench"

# The settings as given, for the report's command line (before the quick run fills in its own).
given=()
for v in BENCH_QUICK BENCH_SECONDS BENCH_WARMUP BENCH_RUNS BENCH_CELLS BENCH_CONNS BENCH_SERVERS BENCH_IDLE_CONNS \
  BENCH_IDLE_SECONDS BENCH_STOP_CONNS BENCH_CALLGRIND_REPLIES; do
  if [ -n "${!v:-}" ]; then
    value=${!v}
    [[ "$value" =~ ^[A-Za-z0-9._/-]+$ ]] || value="'$value'"
    given+=("$v=$value")
  fi
done

if [ "${BENCH_QUICK:-}" = 1 ]; then
  : "${BENCH_SECONDS:=1}" "${BENCH_WARMUP:=0.2}" "${BENCH_RUNS:=1}" "${BENCH_IDLE_SECONDS:=2}"
  : "${BENCH_CALLGRIND_REPLIES:=1000}" "${BENCH_OUT:=$dir/BENCHMARKS.md}"
fi
seconds=${BENCH_SECONDS:-5}
warmup=${BENCH_WARMUP:-0.5}
runs=${BENCH_RUNS:-3}
cells=${BENCH_CELLS:-pingpong pipeline connect idle stop callgrind}
conn_counts=${BENCH_CONNS:-1 16 64 256}
read -r -a servers <<<"${BENCH_SERVERS:-engine pooled headless poco asio floor}"
idle_conns=${BENCH_IDLE_CONNS:-1000}
idle_seconds=${BENCH_IDLE_SECONDS:-10}
stop_conns=${BENCH_STOP_CONNS:-1000}
cg_replies=${BENCH_CALLGRIND_REPLIES:-10000}
out=${BENCH_OUT:-docs/BENCHMARKS.md}
# Found out now, not after the whole run: the report and its plot need a folder to go to. The
# build folder, where a quick run's report goes, is ours to make.
mkdir -p "$dir"
if [ ! -d "$(dirname "$out")" ]; then
  echo "BENCH_OUT=$out: the folder $(dirname "$out") does not exist" >&2
  exit 2
fi

echo "=== installing what the benchmark needs ==="
bash scripts/deps.sh libpoco-dev libasio-dev valgrind gnuplot-nox python3

echo "=== building (release) in build-bench ==="
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DID_BUILD_TESTS=OFF -DID_BUILD_GUI=OFF >/dev/null
cmake --build "$dir" --target LoadGen EngineServer LineServerConsole ReadTimeouts -j 2
# The peers with the flags CMake gives a release build.
mkdir -p "$dir/peers"
peer_flags=(-std=c++20 -O3 -DNDEBUG -Wall -Wextra -pthread)
g++ "${peer_flags[@]}" bench/peers/PocoServer.cpp -o "$dir/peers/PocoServer" -lPocoNet -lPocoFoundation
g++ "${peer_flags[@]}" bench/peers/AsioServer.cpp -o "$dir/peers/AsioServer"
g++ "${peer_flags[@]}" bench/peers/EpollServer.cpp -o "$dir/peers/EpollServer"

# 1,000 clients and the server's 1,000 sockets, plus room.
hard=$(ulimit -Hn)
if [ "$hard" = unlimited ] || [ "$hard" -gt 1048576 ]; then hard=1048576; fi
ulimit -n "$hard"
if [ "$(ulimit -n)" -lt $((2 * (idle_conns > stop_conns ? idle_conns : stop_conns) + 256)) ]; then
  echo "The descriptor limit ($(ulimit -n)) is too low for $idle_conns / $stop_conns clients." >&2
  exit 1
fi

loadgen="$dir/LoadGen"
work="$dir/bench-run"
rm -rf "$work"
mkdir -p "$work"
results="$work/results.jsonl"
: >"$results"
server_log="$work/servers.log"
: >"$server_log"

server_pid=""
runner=()

# A process that has gone, or is a zombie waiting for us, or is being reaped just now: its state is
# then X ("dead") for a moment before its entry goes, a long moment for a process of a thousand
# threads, and a check that missed X once took a stopped server for a hung one.
exited() {
  local state
  [ ! -e "/proc/$1" ] && return 0
  state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) || return 0
  [ -z "$state" ] || [ "$state" = Z ] || [ "$state" = X ]
}

# Starts server $1 on port $2 (under "${runner[@]}", if set) and waits until it accepts.
start_server() {
  local cmd
  case "$1" in
    engine) cmd=("$dir/EngineServer" --port "$2" --loopback) ;;
    pooled) cmd=("$dir/EngineServer" --port "$2" --loopback --thread-pool 64) ;;
    headless) cmd=("$dir/app/LineServerConsole" --port "$2") ;;
    headless-pooled) cmd=("$dir/app/LineServerConsole" --port "$2" --thread-pool 64) ;;
    poco) cmd=("$dir/peers/PocoServer" --port "$2") ;;
    asio) cmd=("$dir/peers/AsioServer" --port "$2") ;;
    floor) cmd=("$dir/peers/EpollServer" --port "$2") ;;
    *) echo "unknown server $1" >&2; exit 2 ;;
  esac
  echo "--- $1 on port $2" >>"$server_log"
  "${runner[@]}" "${cmd[@]}" >/dev/null 2>>"$server_log" &
  server_pid=$!
  "$loadgen" ready --port "$2" --pid "$server_pid" --timeout 60
}

# Stops the server (unless it has gone already) and records how it ended.
stop_server() {
  local name=$1 cell=$2 status=0 waited=0
  exited "$server_pid" || kill -TERM "$server_pid" 2>/dev/null || true
  while ! exited "$server_pid" && [ $waited -lt 600 ]; do sleep 0.1; waited=$((waited + 1)); done
  if ! exited "$server_pid"; then
    echo "$name did not stop within 60 s; killed" >&2
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  wait "$server_pid" || status=$?
  printf '{"kind":"exit","cell":"%s","server":"%s","status":%d}\n' "$cell" "$name" "$status" >>"$results"
}

# One run: server $1, cell $2, LoadGen arguments after that.
measure() {
  local name=$1 cell=$2 port rc=0
  shift 2
  port=$("$loadgen" freeport)
  if ! start_server "$name" "$port"; then
    printf '{"kind":"failed","cell":"%s","server":"%s","why":"did not start"}\n' "$cell" "$name" >>"$results"
    stop_server "$name" "$cell"
    return
  fi
  "$loadgen" "$@" --port "$port" --pid "$server_pid" --server "$name" --cell "$cell" >>"$results" || rc=$?
  if [ $rc -ge 2 ]; then
    printf '{"kind":"failed","cell":"%s","server":"%s","why":"load generator status %d"}\n' \
      "$cell" "$name" "$rc" >>"$results"
  fi
  stop_server "$name" "$cell"
}

# Every server $runs times in cell $1, taking turns; the LoadGen arguments follow. The servers are
# those of BENCH_SERVERS, and cell_extra for this cell alone.
cell() {
  local cell=$1 round i
  shift
  local list=("${servers[@]}" "${cell_extra[@]}")
  local n=${#list[@]}
  echo "=== $cell ==="
  for ((round = 0; round < runs; round++)); do
    for ((i = 0; i < n; i++)); do
      measure "${list[(i + round) % n]}" "$cell" "$@"
    done
  done
}
cell_extra=()

wanted() { [[ " $cells " == *" $1 "* ]]; }

started=$(date +%s)
common=(--seconds "$seconds" --warmup "$warmup")
if wanted pingpong; then
  for conns in $conn_counts; do cell "pingpong-$conns" pingpong --conns "$conns" "${common[@]}"; done
fi
wanted pipeline && cell pipeline-16x16 pipeline --conns 16 --depth 16 "${common[@]}"
# The connect rate is where the pooled scheduler matters, so the whole program is measured with it
# here as well (when the plain one is).
if wanted connect; then
  [[ " ${servers[*]} " == *" headless "* ]] && cell_extra=(headless-pooled)
  cell connect-8 connect --clients 8 --sources 16 "${common[@]}"
  cell_extra=()
fi
wanted idle && cell "idle-$idle_conns" idle --conns "$idle_conns" --seconds "$idle_seconds"
wanted stop && cell "stop-$stop_conns" stop --conns "$stop_conns" --timeout 30

# How close a framework thread's short read time-outs come to what was asked (no server needed).
echo "=== read time-outs ==="
"$dir/ReadTimeouts" --count 100 | tee -a "$results"

# Instructions per reply: the same ping-pong workload (16 connections) twice per server, with a
# tenth of the replies and with all of them; the difference leaves out start, connects and stop.
if wanted callgrind; then
  echo "=== callgrind ==="
  base=$((cg_replies / 10))
  for name in "${servers[@]}"; do
    declare -A totals=()
    for count in "$base" "$cg_replies"; do
      file="$work/callgrind.$name.$count.out"
      runner=(valgrind --tool=callgrind -q --callgrind-out-file="$file")
      port=$("$loadgen" freeport)
      if start_server "$name" "$port"; then
        "$loadgen" pingpong --count "$count" --conns 16 --timeout 600 --port "$port" --pid "$server_pid" \
          --server "$name" --cell "callgrind-$count" >/dev/null || true
      fi
      stop_server "$name" "callgrind-$count"
      runner=()
      totals[$count]=$(grep -E '^(totals|summary):' "$file" 2>/dev/null | head -1 | awk '{print $2}')
    done
    printf '{"kind":"callgrind","server":"%s","conns":16,"base_replies":%d,"replies":%d,"base_ir":%s,"ir":%s}\n' \
      "$name" "$base" "$cg_replies" "${totals[$base]:-null}" "${totals[$cg_replies]:-null}" >>"$results"
    echo "$name: ${totals[$base]:-?} instructions for $base replies, ${totals[$cg_replies]:-?} for $cg_replies"
    unset totals
  done
fi
took=$(($(date +%s) - started))

# What the report says about where and how it was measured.
BENCH_META_COMMAND="${given[*]:+${given[*]} }bash scripts/bench.sh" \
BENCH_META_CPU="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" \
BENCH_META_CORES="$(nproc)" \
BENCH_META_MEMORY="$(free -g | awk '/^Mem:/ {print $2}') GiB" \
BENCH_META_KERNEL="$(uname -sr)" \
BENCH_META_COMPILER="$(g++ --version | head -1)" \
BENCH_META_POCO="$(dpkg-query -W -f='${Version}' libpoco-dev 2>/dev/null || echo '?')" \
BENCH_META_ASIO="$(dpkg-query -W -f='${Version}' libasio-dev 2>/dev/null || echo '?')" \
BENCH_META_VALGRIND="$(valgrind --version 2>/dev/null || echo '?')" \
BENCH_META_COMMIT="$(git rev-parse --short HEAD 2>/dev/null || echo '?')$(git diff --quiet HEAD 2>/dev/null || echo ' (with uncommitted changes)')" \
BENCH_META_DATE="$(date -u '+%Y-%m-%d %H:%M UTC')" \
BENCH_META_TOOK="$took" \
BENCH_META_SETTINGS="seconds=$seconds warmup=$warmup runs=$runs idle_seconds=$idle_seconds callgrind_replies=$cg_replies" \
  python3 bench/report.py "$results" "$out"
