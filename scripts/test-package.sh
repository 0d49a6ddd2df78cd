#!/usr/bin/env bash
# The framework as its users get it. Installs a built tree (default: the release build of the test
# command) into a temporary prefix, checks what was installed, builds examples/ against the
# installed package with find_package and once with pkg-config, and runs each example against
# loopback clients. Then the same with the framework built as a shared library, and the tree taken
# as a consumer's subproject.
#
#   bash scripts/test-package.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh pkg-config python3
tree=$PWD
release=${1:-build-release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Our examples and headers are held to the test configurations' rule: no warning.
strict=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror")

# Builds the examples against the package in prefix $1, once per way of finding it, and runs them.
check_prefix() {
  local prefix=$1 name=$2
  echo "--- $name: installed files"
  (cd "$prefix" && find . -type f | sort)
  # Nothing of the framework lies outside its own include folder, and every header stands alone.
  local stray
  stray=$(cd "$prefix/include" && find . -mindepth 1 -maxdepth 1 ! -name IdFramework)
  if [ -n "$stray" ]; then echo "headers outside include/IdFramework: $stray" >&2; exit 1; fi
  find "$prefix/include/IdFramework" -name '*.h' | sort | while read -r header; do
    printf '#include <%s>\n' "${header#"$prefix/include/"}" >"$work/header.cpp"
    g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" "$work/header.cpp" \
      || { echo "does not compile alone: $header" >&2; exit 1; }
  done
  echo "--- $name: examples with find_package"
  cmake -S examples -B "$work/examples-$name" -G Ninja "${strict[@]}" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/examples-$name"
  python3 tests/package/check_examples.py "$work/examples-$name"
  echo "--- $name: examples with pkg-config"
  local pcdir
  pcdir=$(dirname "$(find "$prefix" -name idframework.pc)")
  PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs idframework
  PKG_CONFIG_PATH=$pcdir cmake -S examples -B "$work/examples-$name-pc" -G Ninja "${strict[@]}" \
    -DEXAMPLES_USE_PKG_CONFIG=ON >/dev/null
  cmake --build "$work/examples-$name-pc"
  python3 tests/package/check_examples.py "$work/examples-$name-pc"
}

echo "=== package: static library from $release ==="
cmake --install "$release" --prefix "$work/static" >/dev/null
check_prefix "$work/static" static

echo "=== package: shared library ==="
cmake -S . -B "$work/build-shared" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DID_BUILD_PROGRAMS=OFF -DID_BUILD_TESTS=OFF -DID_BUILD_BENCH=OFF -DID_WERROR=ON >/dev/null
cmake --build "$work/build-shared"
cmake --install "$work/build-shared" --prefix "$work/shared" >/dev/null
if ! find "$work/shared" -name 'libidframework.so*' | grep -q .; then
  echo "no shared library installed" >&2
  exit 1
fi
check_prefix "$work/shared" shared

echo "=== package: the tree as a subproject ==="
cmake -S tests/package/subproject -B "$work/subproject" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/subproject"
python3 tests/package/check_examples.py "$work/subproject" --only EchoUpper
echo "=== package: all checks passed ==="
