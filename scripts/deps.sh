#!/usr/bin/env bash
# Installs the Debian packages the build needs, once, and any further packages named as arguments.
set -euo pipefail
DEPS=(g++ cmake ninja-build libgtest-dev qt6-base-dev xvfb xauth "$@")
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
