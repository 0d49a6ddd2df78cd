#!/usr/bin/env bash
# Builds the Debian packages from the tree, with Debian's own build flags, and runs lintian on
# each. Into OUT-DIR (default build-package/debian):
#   lineserver_VERSION_ARCH.deb          LineServer (window, desktop entry, icon), LineServerConsole,
#                                        their manual pages, the unit lineserver@.service
#   libidframework1_VERSION_ARCH.deb     the framework's shared library
#   libidframework-dev_VERSION_ARCH.deb  headers, shared and static library, CMake package, .pc file
# plus lintian.txt (lintian's findings) and contents.txt (dpkg-deb -c of each package).
#
#   bash scripts/package-debian.sh [OUT-DIR]
#
# No debhelper: the package trees are laid out here by hand from `cmake --install` and
# packaging/, and dpkg-shlibdeps, dpkg-gencontrol and dpkg-deb do the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh dpkg-dev lintian desktop-file-utils man-db file
tree=$PWD
out=${1:-build-package/debian}
mkdir -p "$out"
out=$(cd "$out" && pwd)

version=$(sed -nE 's/^project\([A-Za-z]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
changelog_version=$(sed -nE '1s/^lineserver \(([^)]+)\).*/\1/p' packaging/debian/changelog)
if [ "$version" != "$changelog_version" ]; then
  echo "the project is version $version, packaging/debian/changelog's top entry $changelog_version" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
umask 022

# Debian's flags for a package build: optimisation as the release build, hardening on.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
configure=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS=$cxxflags"
  "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags"
  -DID_BUILD_TESTS=OFF -DID_BUILD_BENCH=OFF -DID_WERROR=OFF)
echo "=== debian: build (programs with the static framework; the shared framework) ==="
# The programs link the framework statically, so that they depend on no library of ours.
cmake -S . -B "$out/build-static" "${configure[@]}" -DID_BUILD_PROGRAMS=ON -DID_BUILD_GUI=ON >/dev/null
cmake --build "$out/build-static"
if [ ! -x "$out/build-static/app/LineServer" ]; then
  echo "the window program was not built (is qt6-base-dev installed?)" >&2
  exit 1
fi
cmake -S . -B "$out/build-shared" "${configure[@]}" -DID_BUILD_PROGRAMS=OFF -DBUILD_SHARED_LIBS=ON >/dev/null
cmake --build "$out/build-shared"

stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage"
DESTDIR="$stage/install-static" cmake --install "$out/build-static" >/dev/null
DESTDIR="$stage/install-shared" cmake --install "$out/build-shared" >/dev/null

# A fake source tree: what dpkg-shlibdeps and dpkg-gencontrol read (debian/control, changelog).
src=$stage/src
mkdir -p "$src/debian"
cp packaging/debian/control packaging/debian/changelog "$src/debian/"

# The files every package has: copyright and the changelog in /usr/share/doc/<package>.
add_doc() {
  local root=$1 package=$2
  install -d "$root/usr/share/doc/$package"
  install -m 644 packaging/debian/copyright "$root/usr/share/doc/$package/copyright"
  gzip -9n <packaging/debian/changelog >"$root/usr/share/doc/$package/changelog.gz"
  chmod 644 "$root/usr/share/doc/$package/changelog.gz"
}
# As dh_strip does: the symbols a debugger needs stay in the build folder only.
strip_binary() { strip --remove-section=.comment --remove-section=.note "$@"; }

# lineserver: the programs.
root=$stage/lineserver
install -d "$root/usr/bin" "$root/usr/share/applications" "$root/usr/share/man/man1" \
  "$root/usr/share/icons/hicolor/scalable/apps" "$root/usr/share/icons/hicolor/48x48/apps" \
  "$root/lib/systemd/system"
for program in LineServer LineServerConsole; do
  install -m 755 "$out/build-static/app/$program" "$root/usr/bin/$program"
  strip_binary "$root/usr/bin/$program"
  gzip -9n <"packaging/linux/$program.1" >"$root/usr/share/man/man1/$program.1.gz"
done
chmod 644 "$root"/usr/share/man/man1/*.gz
install -m 644 packaging/linux/lineserver.desktop "$root/usr/share/applications/lineserver.desktop"
install -m 644 packaging/linux/lineserver.svg "$root/usr/share/icons/hicolor/scalable/apps/lineserver.svg"
install -m 644 packaging/linux/lineserver-48.png "$root/usr/share/icons/hicolor/48x48/apps/lineserver.png"
install -m 644 "packaging/linux/lineserver@.service" "$root/lib/systemd/system/lineserver@.service"
add_doc "$root" lineserver
gzip -9n <README.md >"$root/usr/share/doc/lineserver/README.md.gz"
install -m 644 packaging/debian/README.Debian "$root/usr/share/doc/lineserver/README.Debian"
chmod 644 "$root/usr/share/doc/lineserver/README.md.gz"
install -d "$root/DEBIAN"
for script in postinst prerm postrm; do
  install -m 755 "packaging/debian/lineserver.$script" "$root/DEBIAN/$script"
done

# libidframework1: the shared library under its soname.
root=$stage/libidframework1
lib=usr/lib/$multiarch
install -d "$root/$lib" "$root/DEBIAN"
real=$(cd "$stage/install-shared/$lib" && ls libidframework.so.*.*.*)
install -m 644 "$stage/install-shared/$lib/$real" "$root/$lib/$real"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/$lib/$real"
soname=$(objdump -p "$root/$lib/$real" | sed -nE 's/^ +SONAME +//p')
ln -s "$real" "$root/$lib/$soname"
add_doc "$root" libidframework1
sed "s/@VERSION@/$version/" packaging/debian/libidframework1.shlibs >"$root/DEBIAN/shlibs"
install -m 644 packaging/debian/libidframework1.triggers "$root/DEBIAN/triggers"
chmod 644 "$root/DEBIAN/shlibs"

# libidframework-dev: what `cmake --install` installs for a user's build: the headers, the CMake
# package and the .pc file of the shared build (so find_package and pkg-config link the shared
# library), the link-time name libidframework.so, and the static library of the other build.
root=$stage/libidframework-dev
install -d "$root/$lib" "$root/DEBIAN"
cp -a "$stage/install-shared/usr/include" "$root/usr/"
cp -a "$stage/install-shared/$lib/cmake" "$stage/install-shared/$lib/pkgconfig" "$root/$lib/"
ln -s "$soname" "$root/$lib/libidframework.so"
install -m 644 "$stage/install-static/$lib/libidframework.a" "$root/$lib/libidframework.a"
strip --strip-debug --remove-section=.comment --remove-section=.note "$root/$lib/libidframework.a"
add_doc "$root" libidframework-dev
find "$root/usr" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +

# Control files: dependencies from the binaries' libraries, sizes, checksums; then the packages.
cd "$src"
dpkg-shlibdeps -Tdebian/lineserver.substvars -e"$stage/lineserver/usr/bin/LineServer" \
  -e"$stage/lineserver/usr/bin/LineServerConsole" 2> >(grep -v 'binaries to analyze should already be' >&2)
dpkg-shlibdeps -Tdebian/libidframework1.substvars "$stage/libidframework1/$lib/$real" \
  2> >(grep -v 'binaries to analyze should already be' >&2)
rm -f "$out"/*.deb
for package in lineserver libidframework1 libidframework-dev; do
  root=$stage/$package
  touch "debian/$package.substvars"
  dpkg-gencontrol -p"$package" -P"$root" -Tdebian/"$package.substvars" -fdebian/files
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0r md5sum \
    >DEBIAN/md5sums)
  chmod 644 "$root/DEBIAN/md5sums" "$root/DEBIAN/control"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${package}_${version}_$arch.deb" >/dev/null
done
cd "$tree"

echo "=== debian: packages ==="
: >"$out/contents.txt"
for deb in "$out"/*.deb; do
  echo "--- $(basename "$deb")" | tee -a "$out/contents.txt"
  dpkg-deb -c "$deb" >>"$out/contents.txt"
  dpkg-deb -I "$deb" | sed -nE 's/^ (Package|Version|Architecture|Depends|Installed-Size):/  \1:/p'
done
desktop-file-validate "$stage/lineserver/usr/share/applications/lineserver.desktop"

echo "=== debian: lintian ==="
# Each tag left is listed with its reason in docs/PACKAGING.md; an error fails the build.
lintian --info --display-info --no-tag-display-limit "$out"/*.deb | tee "$out/lintian.txt" || true
if grep -q '^E: ' "$out/lintian.txt"; then
  echo "lintian found errors" >&2
  exit 1
fi
echo "=== debian: built in $out ==="
