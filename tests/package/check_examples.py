#!/usr/bin/env python3
"""Runs the framework's examples as their users would and talks to each over loopback.

    check_examples.py BIN_DIR [--only NAME ...] [--runner CMD] [--suffix .exe]

Every server is started on a port the system picks (it prints which), checked with raw sockets and
with the example client, then stopped by closing its standard input; it must end with status 0.
"""
import argparse, os, socket, subprocess, sys, tempfile, time

ARGS = None


def program(name):
    return ARGS.runner + [os.path.join(ARGS.bin, name + ARGS.suffix)]


class Server:
    def __init__(self, name, *args):
        self.proc = subprocess.Popen(program(name) + ["0", *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("Listening on port "), f"{name} printed {line!r}"
        self.port = int(line.split()[-1])

    def stop(self):
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        assert self.proc.wait(timeout=30) == 0, "server ended with a failure"
        return rest


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.pending = b""

    def send(self, text):
        self.sock.sendall(text.encode() + b"\r\n")

    def read(self, count):
        while len(self.pending) < count:
            data = self.sock.recv(65536)
            assert data, f"closed after {len(self.pending)} of {count} bytes"
            self.pending += data
        data, self.pending = self.pending[:count], self.pending[count:]
        return data

    def line(self):
        while b"\r\n" not in self.pending:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.pending += data
        line, self.pending = self.pending.split(b"\r\n", 1)
        return line.decode()

    def closed(self):
        # A stop ends its clients without a goodbye: a reset counts as closed too.
        try:
            return self.line() is None and not self.pending
        except ConnectionResetError:
            return True


def line_client(*args):
    return subprocess.run(program("LineClient") + list(args), capture_output=True, text=True, timeout=30)


def echo_upper():
    server = Server("EchoUpper")
    c = Client(server.port)
    c.send("hello, World")
    assert c.line() == "HELLO, WORLD"
    c.send("QUIT")
    assert c.line() == "BYE" and c.closed()
    if "LineClient" in ARGS.only:
        done = line_client("127.0.0.1", str(server.port), "abc", "QUIT")
        assert done.returncode == 0 and done.stdout.split() == ["ABC", "BYE"], done
    idle = Client(server.port)  # still connected at the stop: the stop ends it
    server.stop()
    assert idle.closed()


def client_state():
    server = Server("ClientState")
    # One after the other: clients connecting together may be numbered in either order.
    first = Client(server.port)
    assert first.line() == "HELLO 1"
    second = Client(server.port)
    assert second.line() == "HELLO 2"
    first.send("a"), second.send("b"), first.send("c")
    assert [first.line(), second.line(), first.line()] == ["1.1: a", "2.1: b", "1.2: c"]
    first.sock.close()
    out = server.stop()
    assert "client 1 left after 2 lines" in out and "client 2 left after 1 lines" in out, out


def file_server():
    with tempfile.NamedTemporaryFile(delete=False) as f:
        content = bytes(range(256)) * 1000 + b"end"
        f.write(content)
    try:
        server = Server("FileServer", f.name, "500")
        c = Client(server.port)
        c.send("FILE")
        assert c.line() == f"SIZE {len(content)}" and c.read(len(content)) == content
        c.send("BLOCK 300000")
        assert c.line() == "SIZE 300000" and c.read(300000) == b"x" * 300000
        second = Client(server.port)
        second.send("HELP")  # answered: the server has listed it before the third comes
        assert second.line() == "UNKNOWN HELP"
        third = Client(server.port)  # beyond the limit of two
        assert third.line() == "BUSY" and third.closed()
        # A client silent for longer than the read time-out is told and ended.
        start = time.monotonic()
        assert second.line() == "TIMEOUT" and second.closed()
        assert 0.3 < time.monotonic() - start < 10
        server.stop()
    finally:
        os.unlink(f.name)


def refused_client():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    done = line_client("127.0.0.1", str(port), "x")
    assert done.returncode == 1 and "10061" in done.stderr, done


CHECKS = {"EchoUpper": echo_upper, "ClientState": client_state, "FileServer": file_server,
          "LineClient": refused_client}


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--only", nargs="*", default=list(CHECKS))
    parser.add_argument("--runner", default="")
    parser.add_argument("--suffix", default="")
    ARGS = parser.parse_args()
    ARGS.runner = ARGS.runner.split()
    for name in ARGS.only:
        CHECKS[name]()
        print(f"example {name}: passed")


if __name__ == "__main__":
    sys.exit(main())
