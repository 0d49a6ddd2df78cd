#!/usr/bin/env python3
"""The Windows programs under Wine, driven from Linux.

window: starts LineServer.exe on a private X display, types a port into its port field (with a
letter among the digits, which the field must refuse), clicks "Connect", serves the worked exchange
over 127.0.0.1 and ::1, takes the screenshot, clicks "Disconnect" (the port is free again and the
server's threads are gone), clicks "Connect" again (it serves again) and closes the window the way
the title bar's close box does; the program must end with status 0.

console: starts LineServerConsole.exe, serves the worked exchange over both loopback addresses and
stops it with SIGINT, which Wine hands to the program as Ctrl+C; it must end with status 0.

Every wait is bounded; the Wine server of the private prefix is ended afterwards.
"""
import argparse
import ctypes
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

REPLY = re.compile(rb"^Thanks-\d\d:\d\d:\d\d \d{3}-for-hello-Message\r\n$")
TITLE = "Line Server"
CLIENT_WIDTH, CLIENT_HEIGHT = 635, 299
# Client coordinates of the controls (the X window is the client area when no window manager runs).
EPORT_AT = (60, 21)
BUTTON1_AT = (181, 21)


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_for(what, predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(step)


def free_port():
    """A port that is free on both loopback addresses at the moment of asking."""
    for _ in range(50):
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
            port = probe.getsockname()[1]
        if port_is_free(port):
            return port
    raise Failure("no port free on both 127.0.0.1 and ::1")


def port_is_free(port):
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        with socket.socket(family) as s:
            try:
                s.bind((host, port))
            except OSError:
                return False
    return True


def accepts(host, port):
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


def exchange(host, port):
    """The worked exchange: one line out, one reply line back."""
    with socket.create_connection((host, port), timeout=10) as s:
        s.settimeout(10)
        s.sendall(b"hello\r\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
    check(REPLY.match(reply), f"reply over {host}: {reply!r}")


def run(args, env, timeout):
    return subprocess.run(args, env=env, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


class Wine:
    def __init__(self, loader, prefix, display=None):
        self.loader = loader
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        self.env.pop("DISPLAY", None)
        if display:
            self.env["DISPLAY"] = display
        self.end_server()
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            os.makedirs(os.path.dirname(prefix), exist_ok=True)
            run([loader, "wineboot.exe", "--init"], self.env, 180)
            # The prefix is finished only when the server that its creation started has gone.
            self.end_server()

    def start(self, program, *args, **popen):
        return subprocess.Popen([self.loader, program, *args], env=self.env, **popen)

    def end_server(self):
        """Ends every process of the prefix and waits for its server to go: a program started while
        an old server still winds down would join that server and the display it was bound to."""
        server = os.path.join(os.path.dirname(self.loader), "wineserver64")
        if not os.path.exists(server):
            server = os.path.join(os.path.dirname(self.loader), "wineserver")
        for flag in ("-k", "-w"):
            try:
                run([server, flag], self.env, 60)
            except (OSError, subprocess.TimeoutExpired):
                pass


class Display:
    """A private Xvfb server on a display number it picks itself."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             # Without it the server resets whenever its last client leaves (each xdotool call is
             # one), and a program connecting just then finds no display.
             "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        # The number and its line end may come in two writes; the server gives up if the second
        # finds the pipe closed.
        text = b""
        deadline = time.monotonic() + 30
        while not text.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(read_end, 32) if ready else b""
            if not chunk:
                break
            text += chunk
        os.close(read_end)
        number = text.decode().strip() if text.endswith(b"\n") else ""
        if not number:
            self.close()
            raise Failure("Xvfb did not start")
        self.name = ":" + number

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def xdotool(display, *args):
    env = dict(os.environ, DISPLAY=display)
    result = subprocess.run(["xdotool", *args], env=env, timeout=30, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    return result.stdout.decode()


def click(display, window, at):
    xdotool(display, "mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1")


def send_delete_window(display, window):
    """What the close box does: the window system asks the window to close (WM_DELETE_WINDOW)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("l", ctypes.c_long * 5), ("pad", ctypes.c_long * 24)]

    dpy = x11.XOpenDisplay(display.encode())
    check(dpy, "cannot open the X display")
    try:
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = int(window)
        event.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        event.format = 32
        event.l[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        event.l[1] = 0  # CurrentTime
        check(x11.XSendEvent(dpy, int(window), 0, 0, ctypes.byref(event)), "XSendEvent failed")
        x11.XFlush(dpy)
    finally:
        x11.XCloseDisplay(dpy)


def thread_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except OSError:
        return -1


def test_window(args):
    display = Display()
    wine = Wine(args.loader, args.prefix, display.name)
    program = None
    try:
        program = wine.start(args.program, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        windows = wait_for("the window", lambda: program.poll() is not None or xdotool(
            display.name, "search", "--name", f"^{TITLE}$").split(), 90)
        check(windows is not True, f"the program ended with status {program.returncode} before its window showed")
        window = windows[0]
        # Wine maps the client area as the X window once the window is laid out.
        size = f"WIDTH={CLIENT_WIDTH}\nHEIGHT={CLIENT_HEIGHT}\n"
        try:
            wait_for("the client area", lambda: size in xdotool(display.name, "getwindowgeometry", "--shell", window), 30)
        except Failure:
            geometry = xdotool(display.name, "getwindowgeometry", "--shell", window)
            raise Failure(f"client area is not {CLIENT_WIDTH} x {CLIENT_HEIGHT}: {geometry}")
        time.sleep(1)  # the program settles into its message loop
        idle_threads = thread_count(program.pid)

        port = free_port()
        digits = str(port)
        click(display.name, window, EPORT_AT)
        xdotool(display.name, "key", "--window", window, "End", *["BackSpace"] * 8)
        # A digits-only field drops the letter.
        xdotool(display.name, "type", "--window", window, "--delay", "30", digits[0] + "x" + digits[1:])
        click(display.name, window, BUTTON1_AT)
        wait_for(f"the server on port {port}", lambda: accepts("127.0.0.1", port), 30)
        exchange("127.0.0.1", port)
        exchange("::1", port)
        time.sleep(0.5)  # the client's "Disconnect" entry reaches the list
        if args.shot:
            subprocess.run(["import", "-window", window, args.shot], env=dict(os.environ, DISPLAY=display.name),
                           timeout=30, check=True)
            size = subprocess.run(["identify", "-format", "%wx%h", args.shot], timeout=30, check=True,
                                  stdout=subprocess.PIPE).stdout.decode()
            check(size == f"{CLIENT_WIDTH}x{CLIENT_HEIGHT}", f"screenshot is {size}")

        click(display.name, window, BUTTON1_AT)  # "Disconnect"
        wait_for(f"port {port} free again", lambda: port_is_free(port), 30)
        wait_for("the server's threads to end", lambda: thread_count(program.pid) <= idle_threads, 30)

        click(display.name, window, BUTTON1_AT)  # "Connect" again, on the same port
        wait_for(f"the server on port {port} again", lambda: accepts("127.0.0.1", port), 30)
        exchange("127.0.0.1", port)
        exchange("::1", port)

        send_delete_window(display.name, window)
        try:
            status = program.wait(60)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end after its window was closed")
        check(status == 0, f"exit status {status}")
        check(port_is_free(port), "the port is still taken after the program ended")
    finally:
        if program and program.poll() is None:
            program.kill()
            program.wait()
        wine.end_server()
        display.close()


def test_console(args):
    wine = Wine(args.loader, args.prefix)
    program = None
    try:
        port = free_port()
        program = wine.start(args.program, "--port", str(port), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = b""
        deadline = time.monotonic() + 90
        while b"Listening on" not in output:
            left = deadline - time.monotonic()
            check(left > 0, f"no 'Listening on' line: {output!r}")
            ready, _, _ = select.select([program.stdout], [], [], left)
            chunk = os.read(program.stdout.fileno(), 4096) if ready else b""
            check(chunk or not ready, f"the program ended early: {output!r}")
            output += chunk
        exchange("127.0.0.1", port)
        exchange("::1", port)
        program.send_signal(signal.SIGINT)
        try:
            rest, _ = program.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end on SIGINT")
        output += rest
        check(program.returncode == 0, f"exit status {program.returncode}: {output!r}")
        check(b"Receive / 127.0.0.1 = hello" in output, f"no Receive entry: {output!r}")
        check(port_is_free(port), "the port is still taken after the program ended")
    finally:
        if program and program.poll() is None:
            program.kill()
            program.wait()
        wine.end_server()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("which", choices=("window", "console"))
    parser.add_argument("--loader", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--shot")
    args = parser.parse_args()
    try:
        (test_window if args.which == "window" else test_console)(args)
    except Failure as failure:
        print(f"FAILED ({args.which}): {failure}", file=sys.stderr)
        return 1
    print(f"passed ({args.which})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
