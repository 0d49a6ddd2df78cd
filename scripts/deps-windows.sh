#!/usr/bin/env bash
# Installs what the Windows cross build needs, once: the MinGW-w64 compiler (posix thread model, so
# that std::thread and std::mutex exist), Wine to run the test programs, and the sources of
# GoogleTest, which is built with the cross compiler; for driving the programs under Wine, Tahoma
# for the window, a virtual X display, xdotool for clicks and keys, ImageMagick for the screenshot
# and Python for the driver. Further packages may be named as arguments.
set -euo pipefail
bash "$(dirname "$0")/deps.sh" googletest g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xdotool \
  imagemagick python3 "$@"
