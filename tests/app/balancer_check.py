#!/usr/bin/env python3
"""The console program behind a real HAProxy that sends the PROXY protocol (version 2).

    balancer_check.py CONSOLE_PROGRAM

A client connects to the balancer from 127.0.0.2 to 127.0.0.3: the console's log must name those,
not the balancer's own 127.0.0.1, the client must be answered, and the balancer's health checks,
which come every 100 ms, must leave no entry. Exits 0 when all holds, 1 otherwise.
"""
import os, signal, socket, subprocess, sys, tempfile, time

CONFIG = """global
    maxconn 100
defaults
    mode tcp
    timeout connect 2s
    timeout client 10s
    timeout server 10s
frontend lines
    bind 127.0.0.3:{front}
    default_backend instances
backend instances
    server one 127.0.0.1:{port} send-proxy-v2 check inter 100ms
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    console, port, front = sys.argv[1], free_port(), free_port()
    server = subprocess.Popen([console, "--port", str(port), "--proxy-protocol"], stdout=subprocess.PIPE,
                              text=True)
    lines = []
    while not lines or not lines[-1].startswith("Listening on "):
        lines.append(server.stdout.readline())
        assert lines[-1], "the console ended before it listened"
    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as cfg:
        cfg.write(CONFIG.format(front=front, port=port))
    balancer = subprocess.Popen(["haproxy", "-db", "-f", cfg.name], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                client = socket.create_connection(("127.0.0.3", front), timeout=5,
                                                  source_address=("127.0.0.2", 0))
                client.sendall(b"hello\r\n")
                reply = client.recv(1024)
                if reply:
                    break
            except OSError:
                pass
            assert time.monotonic() < deadline, "the balancer did not pass a line on"
            time.sleep(0.2)
        assert b"-for-hello-Message\r\n" in reply, reply
        client.close()
        time.sleep(0.5)  # several health checks
    finally:
        balancer.terminate()
        balancer.wait(timeout=10)
        os.unlink(cfg.name)
        server.send_signal(signal.SIGTERM)
    log = "".join(lines) + server.stdout.read()
    assert server.wait(timeout=30) == 0
    entries = [line.split("> ", 1)[-1] for line in log.splitlines()]
    assert "Connect / 127.0.0.3 = 127.0.0.2" in entries, log
    assert "Receive / 127.0.0.2 = hello" in entries, log
    assert sum(e.startswith("Connect / ") for e in entries) == 1, log
    assert not any(e.startswith("Exception") for e in entries), log
    print("balancer check: the log names the client behind HAProxy; health checks leave no entry")
    return 0


if __name__ == "__main__":
    sys.exit(main())
