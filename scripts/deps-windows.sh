#!/usr/bin/env bash
# Installs what the Windows cross build needs, once: the MinGW-w64 compiler (posix thread model, so
# that std::thread and std::mutex exist), Wine to run the test programs, and the sources of
# GoogleTest, which is built with the cross compiler. Further packages may be named as arguments.
set -euo pipefail
DEPS=(cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine wine64 "$@")
missing=()
for p in "${DEPS[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
