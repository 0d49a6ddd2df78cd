#!/usr/bin/env bash
# Builds the Windows packages from the MinGW-w64 cross build. Into OUT-DIR (default
# build-package/windows):
#   LineServer-VERSION-windows-x64.zip   LineServer.exe, LineServerConsole.exe and README.txt in a
#                                        folder LineServer-VERSION
#   LineServer-VERSION-setup.exe         the NSIS installer (packaging/windows/LineServer.nsi)
#
#   bash scripts/package-windows.sh [OUT-DIR [BUILD-DIR]]
#
# Without BUILD-DIR it makes a release cross build of the two programs in OUT-DIR/build; with one,
# it takes the programs of that cross build as they are (the test command passes the build of
# scripts/test-windows.sh, so that its check builds nothing again).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps-windows.sh nsis zip
out=${1:-build-package/windows}
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(sed -nE 's/^project\([A-Za-z]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)

build=${2:-}
if [ -z "$build" ]; then
  build=$out/build
  echo "=== windows: release cross build ==="
  cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DID_BUILD_TESTS=OFF -DID_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" --target LineServer LineServerConsole
fi
for program in LineServer LineServerConsole; do
  if [ ! -f "$build/app/$program.exe" ]; then
    echo "no $build/app/$program.exe: not a cross build of the programs" >&2
    exit 1
  fi
done

echo "=== windows: zip and installer ==="
stage=$out/LineServer-$version
rm -rf "$stage"
mkdir -p "$stage"
for program in LineServer LineServerConsole; do
  x86_64-w64-mingw32-strip -o "$stage/$program.exe" "$build/app/$program.exe"
done
# Windows' own line ends, for Notepad.
sed "s/@VERSION@/$version/; s/\$/\r/" packaging/windows/README.txt >"$stage/README.txt"
zip_file=$out/LineServer-$version-windows-x64.zip
rm -f "$zip_file"
# Fixed times and no extra attributes: the same programs make the same zip.
touch -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)" "$stage" "$stage"/*
(cd "$out" && zip -q -X -r "$zip_file" "LineServer-$version")
setup=$out/LineServer-$version-setup.exe
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$setup" packaging/windows/LineServer.nsi
unzip -l "$zip_file"
ls -l "$setup"
echo "=== windows: built in $out ==="
