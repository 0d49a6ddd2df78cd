#!/usr/bin/env python3
"""Runs an installed console program as an operator would and talks to it over 127.0.0.1.

    check_console.py [--low-port] [--uid N] [--caps HEX] [--strace LOG] [--windows] -- COMMAND...

"{port}" in COMMAND is replaced by a port that is free on every local address (below 1024 with
--low-port). The program must print its "Listening on" line, answer "hello" with the reply line,
log its figures on SIGUSR1, and end with status 0 on SIGTERM with its figures as the last entry;
every line it prints must be an entry in the log format of its manual page.

--uid and --caps check the serving process's user and effective capabilities (/proc); --strace
runs it under strace -f, writing the system calls to LOG (for check_unit_sandbox.py), and signals
the traced program itself. --windows: the program runs under Wine, which hands SIGINT to it as
Ctrl+C (it has no SIGUSR1 or SIGTERM there), and its lines end in CR LF.
"""
import argparse
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

REPLY = re.compile(rb"^Thanks-\d\d:\d\d:\d\d \d{3}-for-hello-Message\r\n$")
ENTRY = re.compile(r"^\d\d:\d\d:\d\d \d{3}> [A-Za-z]+( / .*)?( = .*)?$")
FIGURES = re.compile(r"> Figures / clients now (\d+), peak (\d+), accepted (\d+), refused (\d+), timed out (\d+)$")


class Failure(Exception):
    pass


def free_port(low):
    """A port free for both 0.0.0.0 and [::] at the moment of asking."""
    candidates = range(1023, 600, -1) if low else [0] * 50
    for port in candidates:
        try:
            with socket.socket(socket.AF_INET6) as s6, socket.socket(socket.AF_INET) as s4:
                s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                s6.bind(("::", port))
                port = s6.getsockname()[1]
                s4.bind(("0.0.0.0", port))
                return port
        except OSError:
            continue
    raise Failure("no free port")


class Program:
    def __init__(self, command, windows):
        self.windows = windows
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        self.buffer = b""
        self.lines = []

    def read_until(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines:
                if re.search(pattern, line):
                    return line
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure(f"no line matching {pattern!r} within {timeout} s; printed: {self.lines}")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                continue
            data = os.read(self.proc.stdout.fileno(), 65536)
            if not data:
                raise Failure(f"output ended (status {self.proc.wait()}) before {pattern!r}; printed: "
                              f"{self.lines}; errors: {self.proc.stderr.read().decode(errors='replace')}")
            self.buffer += data
            *complete, self.buffer = self.buffer.split(b"\n")
            for line in complete:
                text = line.decode()
                if self.windows:
                    text = text.removesuffix("\r")
                self.lines.append(text)

    def finish(self, timeout):
        try:
            rest, errors = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            raise Failure(f"still running {timeout} s after the stop signal")
        for line in (self.buffer + rest).split(b"\n"):
            text = line.decode()
            if self.windows:
                text = text.removesuffix("\r")
            if text:
                self.lines.append(text)
        return self.proc.returncode, errors.decode(errors="replace")


def served_pid(proc, strace):
    """The program's own process: under strace, the tracer's child."""
    if not strace:
        return proc.pid
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
                children = f.read().split()
            if children:
                return int(children[0])
        except OSError:
            pass
        time.sleep(0.05)
    raise Failure("the traced program did not start")


def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split()[1:]
    raise Failure(f"no {name} in /proc/{pid}/status")


def ask(port):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"hello\r\n")
        reply = b""
        while not reply.endswith(b"\r\n"):
            data = s.recv(4096)
            if not data:
                break
            reply += data
    if not REPLY.match(reply):
        raise Failure(f"reply {reply!r}")
    return reply


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--low-port", action="store_true")
    parser.add_argument("--uid", type=int)
    parser.add_argument("--caps")
    parser.add_argument("--strace")
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    port = free_port(args.low_port)
    command = [part.replace("{port}", str(port)) for part in args.command]
    if args.strace:
        command = ["strace", "-f", "-qq", "-o", args.strace] + command
    print(f"--- {' '.join(command)}")
    program = Program(command, args.windows)
    try:
        program.read_until(rf"^Listening on 0\.0\.0\.0:{port} and \[::\]:{port}$", 60)
        pid = served_pid(program.proc, args.strace)
        if args.uid is not None:
            uids = status_field(pid, "Uid")
            if uids != [str(args.uid)] * 4:
                raise Failure(f"serves as user ids {uids}, not {args.uid}")
        if args.caps is not None:
            caps = status_field(pid, "CapEff")[0]
            if int(caps, 16) != int(args.caps, 16):
                raise Failure(f"effective capabilities {caps}, not {args.caps}")
        reply = ask(port)
        print(f"answered on port {port}: {reply!r}")
        program.read_until(r"> Receive / 127\.0\.0\.1 = hello$", 10)
        if not args.windows:
            os.kill(pid, signal.SIGUSR1)
            program.read_until(r"> Figures / clients now 0, peak 1, accepted 1, refused 0, timed out 0$", 10)
        os.kill(pid, signal.SIGINT if args.windows else signal.SIGTERM)
        status, errors = program.finish(30)
        if status != 0:
            raise Failure(f"status {status} after the stop signal; errors: {errors}")
        entries = [line for line in program.lines if line and not line.startswith("Listening on ")]
        wrong = [line for line in entries if not ENTRY.match(line)]
        if wrong:
            raise Failure(f"lines not in the log format: {wrong}")
        if not FIGURES.search(entries[-1]):
            raise Failure(f"the log does not end with the figures: {entries[-1]!r}")
        print(f"stopped with status 0 after {'SIGINT' if args.windows else 'SIGTERM'}; "
              f"{len(entries)} log entries, the last: {entries[-1]}")
    except Failure:
        if program.proc.poll() is None:
            os.killpg(program.proc.pid, signal.SIGKILL)
            program.proc.wait()
        raise


if __name__ == "__main__":
    try:
        main()
    except Failure as e:
        print(f"check_console: {e}", file=sys.stderr)
        sys.exit(1)
