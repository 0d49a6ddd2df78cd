#!/usr/bin/env python3
"""Several console instances behind HAProxy on loopback; writes docs/SCALING.md. Run by
scripts/scale-out.sh, which builds the programs first.

    scale_out.py BUILD_DIR OUT [--instances N] [--seconds S]
"""
import argparse, json, os, signal, socket, subprocess, tempfile, threading, time

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "haproxy-scale-out.cfg")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(proc):
    while True:
        line = proc.stdout.readline()
        assert line, "an instance ended before it listened"
        if line.startswith("Listening on "):
            return


def loadgen(build, port, seconds, conns=16, host="127.0.0.1"):
    out = subprocess.run([f"{build}/LoadGen", "pingpong", "--port", str(port), "--host", host, "--conns",
                          str(conns), "--seconds", str(seconds)], capture_output=True, text=True, timeout=120)
    lines = out.stdout.strip().splitlines()
    if out.returncode != 0 or not lines:
        raise RuntimeError(f"the load generator failed (status {out.returncode}): {out.stderr.strip()}")
    return json.loads(lines[-1])


class LineClient(threading.Thread):
    """One client from its own loopback address: a line, its reply, again, until stopped."""

    def __init__(self, front, source):
        super().__init__(daemon=True)
        self.front, self.source = front, source
        self.sent = self.answered = 0
        self.failed = None
        self.stop = threading.Event()

    def run(self):
        try:
            with socket.create_connection(("127.0.0.3", self.front), timeout=5,
                                          source_address=(self.source, 0)) as s:
                pending = b""
                while not self.stop.is_set():
                    s.sendall(b"line %d\r\n" % self.sent)
                    self.sent += 1
                    while b"\r\n" not in pending:
                        data = s.recv(4096)
                        if not data:
                            raise ConnectionError("closed")
                        pending += data
                    pending = pending.split(b"\r\n", 1)[1]
                    self.answered += 1
                    time.sleep(0.01)
        except OSError as e:
            self.failed = str(e) or type(e).__name__


def instance_of(logs, source):
    for i, text in enumerate(logs):
        if f"= {source}\n" in text and "Connect / " in text:
            for line in text.splitlines():
                if line.endswith(f"= {source}") and "Connect / " in line:
                    return i
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("out")
    parser.add_argument("--instances", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=5)
    args = parser.parse_args()
    work = tempfile.mkdtemp()
    ports = [free_port() for _ in range(args.instances)]
    logs = [os.path.join(work, f"instance-{i}.log") for i in range(args.instances)]
    instances = []
    for port, log in zip(ports, logs):
        proc = subprocess.Popen([f"{args.build}/app/LineServerConsole", "--port", str(port), "--proxy-protocol"],
                                stdout=subprocess.PIPE, text=True)
        wait_listening(proc)
        # The rest of the log goes to a file, read after the run.
        threading.Thread(target=lambda p=proc, l=log: open(l, "w").write(p.stdout.read()), daemon=True).start()
        instances.append(proc)
    front = free_port()
    with open(TEMPLATE) as f:
        config = f.read().replace("@FRONT@", f"127.0.0.3:{front}")
    servers = "".join(f"    server instance{i} 127.0.0.1:{p} send-proxy-v2 check inter 200ms fall 1 rise 2\n"
                      for i, p in enumerate(ports))
    config = config.replace("    @SERVERS@\n", servers)
    cfg = os.path.join(work, "haproxy.cfg")
    with open(cfg, "w") as f:
        f.write(config)
    balancer = subprocess.Popen(["haproxy", "-db", "-f", cfg], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
    # What the balancer says, with the time it said it: when it took the killed instance out.
    balancer_lines = []
    threading.Thread(target=lambda: balancer_lines.extend((time.monotonic(), l) for l in balancer.stderr),
                     daemon=True).start()
    deadline = time.monotonic() + 10
    while True:
        if balancer.poll() is not None:
            time.sleep(0.2)
            raise RuntimeError("HAProxy did not start: " + "".join(l for _, l in balancer_lines).strip())
        try:
            socket.create_connection(("127.0.0.3", front), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)
    time.sleep(1)  # the first health checks
    try:
        # The baseline: one more instance, without the header, that the load generator reaches directly.
        plain_port = free_port()
        plain = subprocess.Popen([f"{args.build}/app/LineServerConsole", "--port", str(plain_port)],
                                 stdout=subprocess.PIPE, text=True)
        wait_listening(plain)
        threading.Thread(target=plain.stdout.read, daemon=True).start()
        try:
            direct = loadgen(args.build, plain_port, args.seconds)
        finally:
            plain.send_signal(signal.SIGTERM)
            plain.wait(timeout=30)
        through = loadgen(args.build, front, args.seconds, host="127.0.0.3")

        # Clients spread over the instances, then one instance killed in the middle of their run.
        clients = [LineClient(front, f"127.0.1.{i + 1}") for i in range(24)]
        for c in clients:
            c.start()
            time.sleep(0.02)
        time.sleep(args.seconds / 2)
        instances[0].send_signal(signal.SIGKILL)
        # Counted from the moment the process is gone: until then the system still completes
        # connections for it, and those die with it.
        instances[0].wait(timeout=10)
        killed_at = time.monotonic()
        # New clients after the kill: where they land, and how soon none lands on the dead one.
        late = []
        for i in range(40):
            c = LineClient(front, f"127.0.2.{i + 1}")
            c.start()
            late.append((time.monotonic() - killed_at, c))
            time.sleep(0.05)
        time.sleep(args.seconds / 2)
        for c in clients + [c for _, c in late]:
            c.stop.set()
        for c in clients + [c for _, c in late]:
            c.join(timeout=10)
    finally:
        balancer.terminate()
        balancer.wait(timeout=10)
        for proc in instances:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for proc in instances:
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
    time.sleep(0.5)
    texts = [open(l).read() for l in logs]
    rows, lost_on_survivors = [], 0
    for c in clients:
        where = instance_of(texts, c.source)
        rows.append((c.source, where, c.sent, c.answered, c.failed))
        if where not in (None, 0) and (c.failed or c.sent - c.answered > 1):
            lost_on_survivors += 1
    late_rows = [(round(at * 1000), instance_of(texts, c.source), c.failed is None and c.answered > 0)
                 for at, c in late]
    on_dead = [at for at, where, _ in late_rows if where == 0]
    failed_late = [at for at, _, ok in late_rows if not ok]
    last_on_dead = max(on_dead) if on_dead else None
    excerpt = [line for t in texts[1:] for line in t.splitlines()
               if "Connect / " in line and "= 127.0.1." in line][:4]
    down_ms = [round((at - killed_at) * 1000) for at, line in balancer_lines if "instance0 is DOWN" in line]

    with open(args.out, "w") as f:
        f.write(f"""# Scaling out behind a load balancer

Written by `bash scripts/scale-out.sh` ({args.instances} console instances with `--proxy-protocol`
behind HAProxy in TCP mode with `send-proxy-v2` and health checks every 200 ms, on loopback of this
{os.cpu_count()}-core machine; {args.seconds:g} s per measurement).

## The cost of the hop

| path | replies/s (16 connections, ping-pong) | median latency |
|---|---:|---:|
| one instance directly | {direct['replies_per_s']:,.0f} | {direct.get('p50_us', 0):,.0f} µs |
| through the balancer to {args.instances} instances | {through['replies_per_s']:,.0f} | {through.get('p50_us', 0):,.0f} µs |

On one machine with {os.cpu_count()} cores the balancer adds a process and two more hops per line
to the same cores, so the figure shows what the hop costs, not what more machines would gain.

## One instance killed in the middle of a run

24 clients, each from its own address (127.0.1.1 to 127.0.1.24), sent a line every 10 ms through
the balancer; after {args.seconds / 2:g} s instance 0 was ended with SIGKILL, and 40 new clients
(127.0.2.x) connected every 50 ms from the moment it was gone.

- Clients on the surviving instances that lost a line: **{lost_on_survivors}** of
  {sum(1 for _, w, *_ in rows if w not in (None, 0))}. The {sum(1 for _, w, *_ in rows if w == 0)} clients of the killed
  instance lost their connection, as they must (each with the one line it had in flight).
- The balancer's health check took the killed instance out
  {f'{down_ms[0]} ms after the kill' if down_ms else '(no DOWN report seen)'} (checks every 200 ms).
- New clients after the kill: {len(late_rows) - len(failed_late)} of {len(late_rows)} served;
  {'none was served by the killed instance' if last_on_dead is None else f'the last one served by the killed instance connected {last_on_dead} ms after the kill'}{'' if not failed_late else f'; failed: those at {failed_late} ms'}.
  A connection that meets the killed instance before the check has noticed is sent on to a
  survivor (`option redispatch`), so clients see no refusal.

| client | instance | lines sent | answered | ended by |
|---|---:|---:|---:|---|
""")
        for source, where, sent, answered, failed in rows:
            f.write(f"| {source} | {where} | {sent} | {answered} | {failed or 'the end of the run'} |\n")
        f.write("\n## The clients' own addresses in the log\n\nFrom the surviving instances' logs:\n\n")
        for line in excerpt:
            f.write(f"    {line}\n")
        f.write(f"""
## The balancer's configuration

A template an operator can copy (`scripts/haproxy-scale-out.cfg`); the script fills in the
frontend's address and one `server` line per instance:

```
{config.strip()}
```

## On several machines

The same configuration serves instances on other machines: give each `server` line the machine's
address and port, and run one console per machine, each with `--proxy-protocol` (as a service, one
instance per port, once the packages provide the unit). The balancer's health checks arrive as
PROXY `LOCAL` connections and are not logged; each instance's log names the real clients, and
SIGUSR1 prints an instance's figures.
""")
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
