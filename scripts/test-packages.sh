#!/usr/bin/env bash
# The packages as their users get them.
#
#   bash scripts/test-packages.sh debian
#       Builds the Debian packages (scripts/package-debian.sh), installs them with
#       `apt-get install ./<file>.deb`, checks the installed programs, manual pages, desktop entry,
#       service unit and development package, then purges them and whatever apt brought in with
#       them: the machine's package list is as it was before.
#   bash scripts/test-packages.sh windows [CROSS-BUILD-DIR]   (no argument: both)
#       Builds the zip and the installer (scripts/package-windows.sh, from CROSS-BUILD-DIR when
#       given), installs with /S under Wine in a prefix of its own, talks to the installed
#       LineServerConsole.exe over 127.0.0.1, uninstalls with /S and checks that no file and no
#       uninstall entry is left.
#
# Without systemd running (a container, CI), the unit's ExecStart runs by hand as the unit would
# run it, as far as that can be done without systemd: see docs/PACKAGING.md.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$PWD

test_debian() {
  bash scripts/package-debian.sh build-package/debian
  bash scripts/deps.sh python3 strace pkg-config systemd
  local dir=$tree/build-package/debian version
  version=$(sed -nE 's/^project\([A-Za-z]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
  local packages=(lineserver libidframework1 libidframework-dev)
  for package in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^[ihu]'; then
      echo "$package is installed on this machine already: the check would purge it" >&2
      exit 1
    fi
  done
  work=$(mktemp -d)
  dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' | sort >"$work/before"
  trap debian_cleanup EXIT

  echo "=== debian: apt-get install ==="
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "$dir/lineserver_${version}_$(dpkg --print-architecture).deb" \
    "$dir/libidframework1_${version}_$(dpkg --print-architecture).deb" \
    "$dir/libidframework-dev_${version}_$(dpkg --print-architecture).deb" >"$work/apt.log" 2>&1 \
    || { cat "$work/apt.log" >&2; exit 1; }
  dpkg -L "${packages[@]}" | sort -u >"$work/files"

  echo "--- the console from /usr/bin"
  test "$(command -v LineServerConsole)" = /usr/bin/LineServerConsole
  python3 tests/package/check_console.py -- LineServerConsole --port '{port}'

  echo "--- manual pages"
  man -w LineServerConsole
  man -w LineServer
  # Every option of --help, every section the issue names.
  LC_ALL=C MANWIDTH=200 man -P cat LineServerConsole 2>/dev/null | col -b >"$work/man.txt"
  LineServerConsole --help | grep -oE '^  --[a-z-]+' | while read -r option; do
    grep -q -- "$option" "$work/man.txt" || { echo "the manual page lacks $option" >&2; exit 1; }
  done
  for section in OPTIONS 'LOG FORMAT' SIGNALS 'EXIT STATUS' SERVICE EXAMPLE; do
    grep -q "^$section" "$work/man.txt" || { echo "the manual page lacks $section" >&2; exit 1; }
  done
  echo "all options and sections present"

  echo "--- the window's desktop entry and icon"
  desktop-file-validate /usr/share/applications/lineserver.desktop
  test -f /usr/share/icons/hicolor/48x48/apps/lineserver.png
  test -f /usr/share/icons/hicolor/scalable/apps/lineserver.svg
  # The entry's program starts (no display here: Qt's offscreen platform) and keeps running.
  local exec status=0
  exec=$(sed -nE 's/^Exec=//p' /usr/share/applications/lineserver.desktop)
  QT_QPA_PLATFORM=offscreen timeout 3 "$(command -v "$exec")" >/dev/null 2>&1 || status=$?
  if [ "$status" -ne 124 ]; then echo "$exec ended with status $status within 3 s" >&2; exit 1; fi
  echo "$exec runs"

  echo "--- the service unit"
  local unit=/lib/systemd/system/lineserver@.service
  systemd-analyze verify lineserver@8000.service
  systemd-analyze security --offline=yes lineserver@8000.service >"$work/security.txt" 2>&1 || true
  local score
  score=$(sed -nE 's/^→ Overall exposure level for lineserver@8000.service: ([0-9.]+) .*/\1/p' "$work/security.txt")
  if [ -z "$score" ] || ! awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
    cat "$work/security.txt" >&2
    echo "systemd-analyze security: exposure '$score', above 2.0" >&2
    exit 1
  fi
  echo "systemd-analyze verify: clean; security: exposure $score"
  # systemd does not run here: the unit's ExecStart runs by hand as the unit runs it. A user
  # id of the dynamic range (61184-65519) in no passwd entry, the bounding and ambient
  # capabilities of the unit, no new privileges, the environment systemd gives a dynamic
  # user, umask 0077 and / as the working directory; a port below 1024, which it may bind
  # through the capability alone; traced, so that its system calls and sockets can be held
  # against the unit's filters.
  local command caps uid=61184
  command=$(sed -nE 's/^ExecStart=//p' "$unit" | tail -1)
  command=${command//%i/\{port\}}
  caps=$(sed -nE 's/^AmbientCapabilities=//p' "$unit" | tr 'A-Z ' 'a-z,' | sed 's/cap_//g; s/,*$//')
  test "$caps" = "$(sed -nE 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z ' 'a-z,' | sed 's/cap_//g; s/,*$//')"
  while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
  local as_unit=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin LANG=C.UTF-8
    USER=lineserver LOGNAME=lineserver HOME=/ SHELL=/usr/sbin/nologin
    setpriv "--reuid=$uid" "--regid=$uid" --clear-groups --no-new-privs)
  local with_caps=("--inh-caps=-all,+$caps" "--ambient-caps=-all,+$caps" "--bounding-set=-all,+$caps")
  # shellcheck disable=SC2086
  python3 tests/package/check_console.py --low-port --uid "$uid" --caps 0x400 --strace "$work/strace.log" \
    -- "${as_unit[@]}" "${with_caps[@]}" -- sh -c 'umask 0077 && cd / && exec "$@"' sh $command
  python3 tests/package/check_unit_sandbox.py "$unit" "$work/strace.log" "${command%% *}"
  # ... and without the capability the same user may not bind that port (the machine's lowest
  # unprivileged port permitting).
  if [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start)" -gt 1000 ]; then
    status=0
    # shellcheck disable=SC2086
    strace -f -qq -e trace=bind -o "$work/bind.log" "${as_unit[@]}" --inh-caps=-all --bounding-set=-all -- \
      ${command//\{port\}/1000} >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 1 ] || ! grep -q 'EACCES' "$work/bind.log"; then
      echo "without the bind capability port 1000: status $status, not 1 with EACCES" >&2
      exit 1
    fi
    echo "without the bind capability the same start fails: bind EACCES, status 1"
  fi

  echo "--- the development package: the examples with find_package, without a prefix"
  cmake -S examples -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror" >/dev/null
  cmake --build "$work/examples" >/dev/null
  grep -q '/usr/lib/[^/]*/cmake/IdFramework' "$work/examples/CMakeCache.txt"
  ldd "$work/examples/EchoUpper" | grep -E 'libidframework\.so\.1 => (/usr)?/lib/'
  python3 tests/package/check_examples.py "$work/examples"
  test "$(pkg-config --modversion idframework)" = "$version"
  # The static library, for whoever links it by name.
  mkdir -p "$work/static"
  # shellcheck disable=SC2046
  g++ -O2 -Wall -Wextra -Werror examples/EchoUpper.cpp -o "$work/static/EchoUpper" \
    $(pkg-config --cflags idframework) -Wl,-Bstatic -lidframework -Wl,-Bdynamic -pthread
  if objdump -p "$work/static/EchoUpper" | grep -q 'NEEDED.*libidframework'; then
    echo "the static link still needs the shared library" >&2
    exit 1
  fi
  python3 tests/package/check_examples.py "$work/static" --only EchoUpper

  echo "=== debian: purge ==="
  debian_cleanup
  trap - EXIT
  echo "=== debian: all package checks passed ==="
}

# Purges the packages and whatever their installation brought in; checks that the package list
# is the one found and that no file of theirs is left.
debian_cleanup() {
  local status=0
  dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' | sort >"$work/after"
  local added
  added=$(comm -13 "$work/before" "$work/after" | awk '{ print $2 }')
  if [ -n "$added" ]; then
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $added >"$work/purge.log" 2>&1 \
      || { cat "$work/purge.log" >&2; status=1; }
  fi
  dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' | sort >"$work/after"
  if ! diff "$work/before" "$work/after" >&2; then
    echo "the package list differs from the one before the check" >&2
    status=1
  fi
  if [ -f "$work/files" ]; then
    while read -r file; do
      if [ -e "$file" ] && [ ! -d "$file" ]; then echo "left behind: $file" >&2; status=1; fi
    done <"$work/files"
  fi
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then exit 1; fi
  echo "purged: the package list is as before, no file left"
}

test_windows() {
  bash scripts/package-windows.sh build-package/windows "${1:-}"
  local dir=$tree/build-package/windows version
  version=$(sed -nE 's/^project\([A-Za-z]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
  local loader
  loader=$(for d in /usr/lib/wine /usr/lib64/wine /usr/lib/x86_64-linux-gnu/wine; do
    [ -x "$d/wine64" ] && echo "$d/wine64" && break; done)
  prefix=$dir/wineprefix
  wineserver=$(dirname "$loader")/wineserver64
  rm -rf "$prefix" "$prefix.lock"
  trap windows_cleanup EXIT
  wine() { cmake/wine-run.sh "$prefix" "$loader" "$@"; }
  local setup=$dir/LineServer-$version-setup.exe
  local installed="$prefix/drive_c/Program Files/Line Server"
  local menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Line Server.lnk"
  local key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\LineServer'

  echo "=== windows: install with /S under Wine ==="
  wine cmd.exe /c exit >/dev/null 2>&1
  (cd "$prefix/drive_c" && find . -type f | sort) >"$dir/files-before"
  wine "$setup" /S
  for file in LineServer.exe LineServerConsole.exe README.txt Uninstall.exe; do
    test -f "$installed/$file" || { echo "not installed: $installed/$file" >&2; exit 1; }
  done
  test -f "$menu" || { echo "no Start-menu entry: $menu" >&2; exit 1; }
  wine reg query "$key" /reg:64 | grep -E 'DisplayName|DisplayVersion|UninstallString'
  echo "installed: $(cd "$installed" && echo *); Start menu: Line Server.lnk"

  echo "--- the installed console answers over 127.0.0.1"
  python3 tests/package/check_console.py --windows -- cmake/wine-run.sh "$prefix" "$loader" \
    'C:\Program Files\Line Server\LineServerConsole.exe' --port '{port}'

  echo "=== windows: uninstall with /S ==="
  wine 'C:\Program Files\Line Server\Uninstall.exe' /S
  # The uninstaller goes on as a copy of itself in the temporary folder and returns at once.
  local waited=0
  while [ -e "$installed" ] || wine reg query "$key" /reg:64 >/dev/null 2>&1; do
    if [ "$waited" -ge 60 ]; then break; fi
    sleep 1
    waited=$((waited + 1))
  done
  local status=0
  if [ -e "$installed" ]; then echo "left behind: $(find "$installed")" >&2; status=1; fi
  if [ -e "$menu" ]; then echo "left behind: $menu" >&2; status=1; fi
  if wine reg query "$key" /reg:64 >/dev/null 2>&1; then echo "the uninstall entry is left" >&2; status=1; fi
  # That copy can delete itself only at the next start of Windows, as on Windows itself: one
  # restart of the prefix, then not one file more than before the installation.
  sleep 2
  wine wineboot.exe -r >/dev/null 2>&1
  (cd "$prefix/drive_c" && find . -type f | sort) >"$dir/files-after"
  local extra
  extra=$(comm -13 "$dir/files-before" "$dir/files-after")
  if [ -n "$extra" ]; then echo "files left: $extra" >&2; status=1; fi
  if [ "$status" -ne 0 ]; then exit 1; fi
  echo "uninstalled: no file, no Start-menu entry, no uninstall entry left"
  windows_cleanup
  trap - EXIT
  echo "=== windows: all package checks passed ==="
}

windows_cleanup() {
  WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  rm -rf "$prefix" "$prefix.lock"
}

case "${1:-}" in
  debian) test_debian ;;
  windows) test_windows "${2:-}" ;;
  "") test_debian; test_windows ;;
  *) echo "usage: $0 [debian | windows [CROSS-BUILD-DIR]]" >&2; exit 2 ;;
esac
