#!/usr/bin/env python3
"""Turns the benchmark's results (one JSON object per line, from scripts/bench.sh) into the report:
medians per cell and server, every server's ratio to our engine, the targets met or missed, the
instruction counts, and the ping-pong plot beside the report.

    report.py RESULTS.jsonl OUT.md

Where and how it was measured comes from the BENCH_META_* variables that scripts/bench.sh sets. A
closing note written by hand in bench/NOTES.md is copied into the report as it is.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

SERVERS = ["engine", "pooled", "headless", "headless-pooled", "poco", "asio", "floor"]
TITLES = {
    "engine": "engine (ours, TIdTCPServer only)",
    "pooled": "pooled engine (ours, thread pool of 64)",
    "headless": "headless (ours, LineServerConsole)",
    "headless-pooled": "headless, pooled (LineServerConsole --thread-pool 64; connect rate only)",
    "poco": "POCO Net (thread per connection)",
    "asio": "Asio (io_context per core)",
    "floor": "floor (one thread, epoll)",
}
NOTES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "NOTES.md")


def load(path):
    runs, exits, failures, callgrind, timeouts = {}, [], [], {}, []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            r = json.loads(line)
            kind = r.get("kind")
            if kind == "exit":
                exits.append(r)
            elif kind == "failed":
                failures.append(r)
            elif kind == "callgrind":
                callgrind[r["server"]] = r
            elif kind == "read_timeout":
                timeouts.append(r)
            elif not r["cell"].startswith("callgrind"):
                runs.setdefault(r["cell"], {}).setdefault(r["server"], []).append(r)
    return runs, exits, failures, callgrind, timeouts


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def figure(runs, cell, server, key):
    return median(r.get(key) for r in runs.get(cell, {}).get(server, []))


def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None


def fmt(value, digits=0, unit=""):
    if value is None:
        return "–"
    if digits == 0:
        return f"{value:,.0f}{unit}"
    return f"{value:,.{digits}f}{unit}"


def fmt_ratio(value):
    return "–" if value is None else f"{value:.2f}"


def servers_in(runs, cell):
    return [s for s in SERVERS if s in runs.get(cell, {})]


def spread(runs, cell, server, key):
    """The range of a figure over the runs, as a share of its median."""
    values = [r[key] for r in runs.get(cell, {}).get(server, []) if r.get(key) is not None]
    m = median(values)
    if len(values) < 2 or not m:
        return "–"
    return f"±{(max(values) - min(values)) / 2 / m * 100:.0f} %"


def errors(runs, cell, server):
    return sum(int(r.get("errors") or 0) for r in runs.get(cell, {}).get(server, []))


def rate_table(runs, cells, label):
    lines = [
        f"| {label} | server | replies/s | spread | × engine | p50 µs | p99 µs | p99.9 µs | server CPU ms per 1k replies"
        " | × engine | RSS MiB | threads | load generator CPU % | runs | errors |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for cell, name in cells:
        base_rate = figure(runs, cell, "engine", "replies_per_s")
        base_cpu = figure(runs, cell, "engine", "cpu_ms_per_1k")
        for s in servers_in(runs, cell):
            rate = figure(runs, cell, s, "replies_per_s")
            cpu = figure(runs, cell, s, "cpu_ms_per_1k")
            rss = figure(runs, cell, s, "rss_kib")
            lines.append(
                f"| {name} | {s} | {fmt(rate)} | {spread(runs, cell, s, 'replies_per_s')} | {fmt_ratio(ratio(rate, base_rate))}"
                f" | {fmt(figure(runs, cell, s, 'p50_us'))} | {fmt(figure(runs, cell, s, 'p99_us'))}"
                f" | {fmt(figure(runs, cell, s, 'p999_us'))} | {fmt(cpu, 1)} | {fmt_ratio(ratio(cpu, base_cpu))}"
                f" | {fmt(rss / 1024 if rss else None, 1)} | {fmt(figure(runs, cell, s, 'threads'))}"
                f" | {fmt(figure(runs, cell, s, 'loadgen_cpu_pct'))} | {len(runs[cell][s])} | {errors(runs, cell, s)} |"
            )
    return lines


class Targets:
    """The targets of the performance work, each judged from this run's medians."""

    def __init__(self):
        self.rows = []

    def add(self, what, target_engine, target_headless, judge):
        cells = []
        for server, target in (("engine", target_engine), ("headless", target_headless)):
            if target is None:
                cells += ["–", "no target"]
                continue
            shown, met = judge(server, target)
            if shown is None:
                cells += ["–", "not measured"]
            else:
                cells += [shown, "**met**" if met else "**missed**"]
        self.rows.append((what, target_text(target_engine), target_text(target_headless), cells))

    def lines(self):
        out = [
            "| target | engine: target | measured | | headless: target | measured | |",
            "|---|---|---|---|---|---|---|",
        ]
        for what, te, th, c in self.rows:
            out.append(f"| {what} | {te} | {c[0]} | {c[1]} | {th} | {c[2]} | {c[3]} |")
        return out


def target_text(target):
    if target is None:
        return "–"
    op, value, unit = target
    return f"{op} {value}{unit}"


def instructions_per_reply(callgrind):
    per_reply = {}
    for s, r in callgrind.items():
        if r.get("ir") is not None and r.get("base_ir") is not None and r["replies"] > r["base_replies"]:
            per_reply[s] = (r["ir"] - r["base_ir"]) / (r["replies"] - r["base_replies"])
    return per_reply


def build_targets(runs, callgrind, timeouts):
    pp = [(f"pingpong-{n}", n) for n in (1, 16, 64, 256) if f"pingpong-{n}" in runs]
    counts = "/".join(str(n) for _, n in pp) or "–"
    idle = next((c for c in runs if c.startswith("idle-")), None)
    stop = next((c for c in runs if c.startswith("stop-")), None)
    per_reply = instructions_per_reply(callgrind)
    t = Targets()

    def at_least(key, other, cell, server_of=lambda s: s):
        def judge(server, target):
            v = ratio(figure(runs, cell, server_of(server), key), figure(runs, cell, other, key))
            return (None, False) if v is None else (f"{v:.2f}", v >= target[1])
        return judge

    def at_most(key, other, cell):
        def judge(server, target):
            v = ratio(figure(runs, cell, server, key), figure(runs, cell, other, key))
            return (None, False) if v is None else (f"{v:.2f}", v <= target[1])
        return judge

    def every_count(key, other):
        def judge(server, target):
            values = [ratio(figure(runs, c, server, key), figure(runs, c, other, key)) for c, _ in pp]
            if not values or None in values:
                return None, False
            return ", ".join(f"{v:.2f}" for v in values), all(v >= target[1] for v in values)
        return judge

    def absolute(cell, key, digits=1, unit="", at_most_bound=False):
        def judge(server, target):
            v = figure(runs, cell, server, key) if cell else None
            if v is None:
                return None, False
            return f"{v:.{digits}f}{unit}", v <= target[1] if at_most_bound else v < target[1]
        return judge

    def worst_read(server, target):
        r = next((r for r in timeouts if r["timeout_ms"] == 5), None) if server == "engine" else None
        return (None, False) if r is None else (f"{r['worst_ms']:.2f} ms", r["worst_ms"] <= target[1])

    def instructions(server, target):
        v = per_reply.get(server)
        return (None, False) if v is None else (f"{v:,.0f}", v <= target[1])

    t.add(f"ping-pong replies/s ÷ POCO ({counts} conns)", ("≥", 1.05, " at every count"), ("≥", 1.0, " at every count"),
          every_count("replies_per_s", "poco"))
    t.add("ping-pong replies/s ÷ Asio (256 conns)", ("≥", 0.8, ""), None, at_least("replies_per_s", "asio", "pingpong-256"))
    t.add("server CPU per reply ÷ POCO (ping-pong, 16 conns)", ("≤", 1.0, ""), ("≤", 1.1, ""),
          at_most("cpu_ms_per_1k", "poco", "pingpong-16"))
    t.add("pipelined 16 × 16 replies/s ÷ POCO", ("≥", 1.0, ""), ("≥", 0.8, ""),
          at_least("replies_per_s", "poco", "pipeline-16x16"))
    t.add("connect rate ÷ POCO, default scheduler", ("≥", 0.8, ""), ("≥", 0.8, ""),
          at_least("replies_per_s", "poco", "connect-8"))
    t.add("connect rate ÷ POCO, pooled (`--thread-pool 64`)", ("≥", 1.1, ""), ("≥", 1.0, ""),
          at_least("replies_per_s", "poco", "connect-8", lambda s: {"engine": "pooled", "headless": "headless-pooled"}[s]))
    t.add("idle clients: server CPU, % of a core", ("<", 3, " %"), ("<", 4, " %"),
          absolute(idle, "cpu_pct", digits=2, unit=" %"))
    t.add("`ReadLn` with a 5 ms time-out on a framework thread, worst of 100", ("≤", 7, " ms"), None, worst_read)
    t.add("instructions per reply (callgrind)", ("≤", 2500, ""), ("≤", 4000, ""), instructions)
    t.add("idle clients: RSS per connection (first round)", ("<", 64, " KiB"), None,
          absolute(idle, "rss_per_conn_kib", digits=1, unit=" KiB"))
    t.add("stop with connected clients: SIGTERM to exit (first round)", ("<", 100, " ms"), ("<", 150, " ms"),
          absolute(stop, "stop_ms", digits=0, unit=" ms"))
    return t


def plot(runs, png):
    """Replies/s against connections, one line per server; returns False where gnuplot is missing."""
    gnuplot = shutil.which("gnuplot")
    counts = sorted(int(c.split("-")[1]) for c in runs if c.startswith("pingpong-"))
    if not gnuplot or not counts:
        return False
    with tempfile.TemporaryDirectory() as tmp:
        series = []
        for s in SERVERS:
            points = [(n, figure(runs, f"pingpong-{n}", s, "replies_per_s")) for n in counts]
            points = [(n, v) for n, v in points if v is not None]
            if not points:
                continue
            data = os.path.join(tmp, f"{s}.dat")
            with open(data, "w") as f:
                f.writelines(f"{n} {v}\n" for n, v in points)
            series.append(f"'{data}' using 1:2 with linespoints lw 2 pt 7 title '{TITLES[s]}'")
        script = "\n".join([
            "set terminal pngcairo noenhanced size 900,520 font 'sans,11'",
            f"set output '{png}'",
            "set title 'Ping-pong: replies per second against connections (loopback, medians)'",
            "set xlabel 'connections'",
            "set ylabel 'replies/s'",
            "set logscale x 2",
            f"set xrange [{counts[0] / 1.5}:{counts[-1] * 1.5}]",
            f"set xtics ({', '.join(str(n) for n in counts)})",
            "set yrange [0:*]",
            "set format y '%.0f'",
            "set grid",
            "set key outside bottom center horizontal",
            "plot " + ", ".join(series),
        ])
        subprocess.run([gnuplot], input=script, text=True, check=True)
    return True


def main():
    results, out = sys.argv[1], sys.argv[2]
    runs, exits, failures, callgrind, timeouts = load(results)
    meta = lambda k: os.environ.get("BENCH_META_" + k, "?")  # noqa: E731
    png_name = "bench-pingpong.png"
    png = os.path.join(os.path.dirname(os.path.abspath(out)), png_name)
    plotted = plot(runs, png)

    md = [
        "# Benchmarks",
        "",
        "Six servers answer the same bytes on loopback: **engine** (`bench/EngineServer`: the line reply",
        "handler on a bare `TIdTCPServer`, no window, no log), **pooled** (the same server on the pooled",
        "scheduler, `--thread-pool 64`), **headless** (the whole application as",
        "`LineServerConsole`, its output to /dev/null), **poco** (`bench/peers/PocoServer`: a",
        "`Poco::Net::TCPServer` with a `TCPServerConnection`, one pooled thread per connection) and **asio**",
        "(`bench/peers/AsioServer`: standalone Asio, asynchronous, one `io_context` thread per core), and as",
        "the floor **floor** (`bench/peers/EpollServer`: one thread over epoll that answers all the lines of",
        "one read in one send, with no time-outs or limits: what this machine can do at all). The load",
        "generator (`bench/LoadGen`) checks every reply byte for byte against",
        "`Thanks-HH:MM:SS mmm-for-<line>-Message` CR LF, including that the time stamp lies between the",
        "moment the line went out and the moment its reply came in; any difference counts as an error.",
        "Server CPU time, resident memory and threads are read from `/proc/<pid>` of the server.",
        "",
        f"- Produced by: `{meta('COMMAND')}` ({meta('SETTINGS')}; {meta('TOOK')} s)",
        f"- Date: {meta('DATE')}; commit {meta('COMMIT')}",
        f"- Machine: {meta('CPU')}, {meta('CORES')} cores, {meta('MEMORY')}, {meta('KERNEL')}",
        f"- Built with {meta('COMPILER')} (`-O3 -DNDEBUG`), POCO {meta('POCO')}, Asio {meta('ASIO')}, {meta('VALGRIND')}",
        "- Every run starts the server afresh on a free port; within a cell the servers take turns, and",
        "  the order shifts by one each round. Figures are medians over the runs; \"spread\" is half the range",
        "  of the runs as a share of the median; ratios are of medians. The load generator runs on the same",
        "  two cores as the server, so each figure is for the pair (its own CPU, % of a core, is in the",
        "  tables: near 100 the generator set the pace), and short runs on a busy machine vary.",
        "",
    ]

    problems = []
    for cell in sorted(runs):
        for s in SERVERS:
            n = errors(runs, cell, s)
            if n:
                first = next(r["first_error"] for r in runs[cell][s] if r.get("errors"))
                problems.append(f"- {cell}, {s}: {n} wrong or missing replies (first: {first})")
    for f in failures:
        problems.append(f"- {f['cell']}, {f['server']}: {f['why']}")
    for e in exits:
        if e["status"] != 0:
            problems.append(f"- {e['cell']}, {e['server']}: the server ended with status {e['status']}")
    if problems:
        md += ["## Problems in this run", ""] + problems + [""]

    md += ["## Targets", "", "Ratios are this run's medians of ours over the peer's."]
    md += [""] + build_targets(runs, callgrind, timeouts).lines() + [""]

    pp = [(c, int(c.split("-")[1])) for c in runs if c.startswith("pingpong-")]
    pp.sort(key=lambda x: x[1])
    if pp:
        md += ["## Ping-pong", "",
               "Every connection sends a line and waits for its reply before the next, for the measuring time.", ""]
        if plotted:
            md += [f"![Ping-pong replies/s against connections]({png_name})", ""]
        md += rate_table(runs, pp, "conns") + [""]
    if "pipeline-16x16" in runs:
        md += ["## Pipelined", "", "16 connections, each with 16 lines in flight.", ""]
        md += rate_table(runs, [("pipeline-16x16", "16 × 16")], "cell") + [""]
    if "connect-8" in runs:
        md += ["## Connect rate", "",
               "8 clients in parallel: connect, one line, its reply, close, again (from 16 loopback source",
               "addresses). A reply here is a whole connection; latency is from connect to reply.", ""]
        md += rate_table(runs, [("connect-8", "8 clients")], "cell") + [""]

    idle = next((c for c in runs if c.startswith("idle-")), None)
    if idle:
        n = idle.split("-")[1]
        secs = figure(runs, idle, "engine", "seconds") or median(r["seconds"] for s in runs[idle] for r in runs[idle][s])
        md += ["## Idle connections", "",
               f"{n} connections each answer one line, then send nothing for {fmt(secs, 0)} s; every one is",
               "answered once more at the end. CPU is the server's over the quiet time, RSS per connection the",
               "growth over the server's RSS before the first connection.", "",
               "| server | CPU, % of a core | RSS per connection KiB | RSS MiB | threads | runs | errors |",
               "|---|---:|---:|---:|---:|---:|---:|"]
        for s in servers_in(runs, idle):
            rss = figure(runs, idle, s, "rss_kib")
            md.append(f"| {s} | {fmt(figure(runs, idle, s, 'cpu_pct'), 2)} | {fmt(figure(runs, idle, s, 'rss_per_conn_kib'), 1)}"
                      f" | {fmt(rss / 1024 if rss else None, 1)} | {fmt(figure(runs, idle, s, 'threads'))}"
                      f" | {len(runs[idle][s])} | {errors(runs, idle, s)} |")
        md.append("")

    stop = next((c for c in runs if c.startswith("stop-")), None)
    if stop:
        n = stop.split("-")[1]
        md += ["## Stop", "",
               f"{n} connected clients (each answered once), then SIGTERM to the server; the time until its",
               "process has exited.", "",
               "| server | ms, median | every run, ms | threads before | exit status |",
               "|---|---:|---|---:|---|"]
        for s in servers_in(runs, stop):
            every = ", ".join(fmt(r.get("stop_ms")) for r in runs[stop][s])
            statuses = sorted({e["status"] for e in exits if e["cell"] == stop and e["server"] == s})
            md.append(f"| {s} | {fmt(figure(runs, stop, s, 'stop_ms'))} | {every} | {fmt(figure(runs, stop, s, 'threads'))}"
                      f" | {', '.join(map(str, statuses)) or '–'} |")
        md.append("")

    if callgrind:
        md += ["## Instructions per reply (callgrind)", "",
               "Each server under `valgrind --tool=callgrind` answers a fixed ping-pong workload on 16",
               "connections twice: once with a tenth of the replies, once with all. The difference of the two",
               "instruction totals over the difference of the replies leaves out start, connects and stop. The",
               "count hardly moves on a busy machine, unlike the times above. It covers the server's own code",
               "and libraries in user space only: the work the kernel does for its system calls is not in it, so",
               "it can differ widely from the ratio of CPU time per reply.", "",
               "| server | instructions per reply | × engine | replies (base + measured) |",
               "|---|---:|---:|---|"]
        per_reply = instructions_per_reply(callgrind)
        for s in SERVERS:
            if s in callgrind:
                r = callgrind[s]
                md.append(f"| {s} | {fmt(per_reply.get(s))} | {fmt_ratio(ratio(per_reply.get(s), per_reply.get('engine')))}"
                          f" | {r['base_replies']:,} + {r['replies'] - r['base_replies']:,} |")
        md.append("")

    if timeouts:
        md += ["## Read time-outs", "",
               "`bench/ReadTimeouts`: a client on a framework thread reads from a loopback peer that never sends,",
               "with each time-out in turn; how long the reads took (target for 5 ms: the worst ≤ 7 ms).", "",
               "| time-out | reads | median | worst |", "|---:|---:|---:|---:|"]
        for r in timeouts:
            md.append(f"| {r['timeout_ms']} ms | {r['reads']} | {r['median_ms']:.2f} ms | {r['worst_ms']:.2f} ms |")
        md.append("")

    md += ["## Closing note", ""]
    if os.path.exists(NOTES):
        with open(NOTES) as f:
            md += [f.read().rstrip(), ""]
    else:
        md += ["(None yet: a note written in `bench/NOTES.md` appears here.)", ""]

    with open(out, "w") as f:
        f.write("\n".join(md))
    print(f"{out} written" + (f", plot {png}" if plotted else ", no plot (no ping-pong cells, or gnuplot missing)"))


if __name__ == "__main__":
    main()
