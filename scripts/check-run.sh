#!/usr/bin/env bash
# Does what a newcomer does: runs the README's run command in a fresh copy of the tree, without a
# display, exchanges one line with the program it starts and stops it with SIGTERM. Fails if the
# program cannot be built or started, or does not answer.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill -9 -- "-$server" 2>/dev/null || true; fi
  rm -rf "$tree" "$tree.out"
}
trap cleanup EXIT

# The tracked files as they stand (uncommitted edits included), without any build folder.
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$tree" 2>/dev/null || true
git ls-files -z --deleted | (cd "$tree" && xargs -0 rm -f)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start=$(date +%s)
# A session of its own, so that a failed check can end the build along with it.
(cd "$tree" && exec env -u DISPLAY -u WAYLAND_DISPLAY setsid bash scripts/run.sh --port "$port") >"$tree.out" 2>&1 &
server=$!

python3 - "$port" "$server" <<'PY'
import socket, sys, time, os
port, pid = int(sys.argv[1]), int(sys.argv[2])
deadline = time.time() + 1200  # a first build on a slow machine
while True:
    try:
        os.kill(pid, 0)
    except OSError:
        sys.exit("run.sh ended before the program answered")
    try:
        c = socket.create_connection(("127.0.0.1", port), timeout=2)
        break
    except OSError:
        if time.time() > deadline: sys.exit("the program never listened")
        time.sleep(0.5)
c.settimeout(10)
c.sendall(b"hello\r\n")
reply = b""
while not reply.endswith(b"\r\n"):
    chunk = c.recv(4096)
    if not chunk: sys.exit("connection closed before the reply")
    reply += chunk
text = reply.decode("ascii")
if not (text.startswith("Thanks-") and text.endswith("-for-hello-Message\r\n")):
    sys.exit("unexpected reply: %r" % text)
c.close()
PY
kill -TERM "$server"
for _ in $(seq 100); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$server" 2>/dev/null; then
  echo "run.sh: the program did not stop on SIGTERM" >&2
  exit 1
fi
status=0; wait "$server" || status=$?
server=""
if [ "$status" != 0 ]; then
  cat "$tree.out" >&2
  echo "run.sh: the program exited with $status after SIGTERM" >&2
  exit 1
fi
echo "run.sh on a fresh tree: built, answered and stopped in $(( $(date +%s) - start )) s"
