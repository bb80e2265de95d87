#!/usr/bin/env bash
# Builds the Debian packages into a scratch directory and checks them as a
# user of them would: the files are those `make install` stages for /usr,
# in Debian's places; lintian finds no error; and unpacked under a
# throwaway root, tq runs, pkg-config and find_package lead to the root's
# library, the README's host example builds against it, and the Python
# package imports, finds the root's library and replays a capture.
# Usage: deb_test.sh SOURCE_DIR BUILD_DIR WORK_DIR
# Exits 77 (skipped) when the Debian tools are missing.
set -euo pipefail
source=$1 build=$2 work=$3
for tool in dpkg-buildpackage dh lintian; do
  command -v "$tool" > /dev/null || { echo "deb: $tool is missing: skipped"; exit 77; }
done
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
fail() { echo "deb: $*" >&2; exit 1; }

"$source/scripts/build-deb.sh" "$source" "$work/debs" 2 > "$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log"; fail "the package build failed"; }
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debs=()
for package in libtqapi1 libtqapi-dev tqapi-tools python3-tqapi; do
  deb="$work/debs/${package}_${version}_${arch}.deb"
  [ -f "$deb" ] || fail "no package $package"
  debs+=("$deb")
done

# The same files as an install into /usr, each where Debian keeps it: the
# library directory with its multiarch part, udev, systemd and sysusers
# files under /lib and /usr/lib (make install puts them under /etc), manual
# pages compressed, the CMake targets of Debian's build type; the packages
# add their documentation.
normalize() {
  sed -E -e "s|^/usr/lib/$multiarch/|/usr/lib/|" \
         -e 's#^(/usr)?/lib/udev/rules.d/|^/etc/udev/rules.d/#udev:#' \
         -e 's#^(/usr)?/lib/systemd/system/|^/etc/systemd/system/#systemd:#' \
         -e 's#^(/usr)?/lib/sysusers.d/|^/etc/sysusers.d/#sysusers:#' \
         -e 's#^(/usr/share/man/.*)\.gz$#\1#' \
         -e 's#/TQApiTargets-[a-z]+\.cmake$#/TQApiTargets-CONFIG.cmake#' |
    grep -v -E '^/usr/share/(doc|lintian)/' | sort
}
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr > /dev/null
(cd "$work/stage" && find . ! -type d | sed 's|^\.||') | normalize > "$work/staged"
for deb in "${debs[@]}"; do
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print substr($6, 2) }'
done | normalize > "$work/packaged"
diff -u "$work/staged" "$work/packaged" > "$work/files.diff" ||
  { cat "$work/files.diff"; fail "the packages' files differ from make install's (- staged, + packaged)"; }

# lintian: errors fail, warnings are shown.
lintian --no-tag-display-limit "${debs[@]}" > "$work/lintian" 2>&1 || true
cat "$work/lintian"
if grep -q '^E:' "$work/lintian"; then fail "lintian reports errors"; fi

root="$work/root"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
lib="$root/usr/lib/$multiarch"

LD_LIBRARY_PATH="$lib" "$root/usr/bin/tq" --version | grep -q -F "${version%%-*}" ||
  fail "tq --version does not print $version"

export PKG_CONFIG_PATH="$lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
libs=$(pkg-config --libs tqapi)
read -r dir name <<<"$libs"
[ "$(realpath -m "${dir#-L}")" = "$lib" ] && [ "$name" = -ltqapi ] ||
  fail "pkg-config --libs tqapi gives '$libs', not the root's library"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/host" "$source/tests/host_example.c" $(pkg-config --cflags --libs tqapi)
status=0
LD_LIBRARY_PATH="$lib" TQ_COM1=/nonexistent/tq-board "$work/host" > /dev/null || status=$?
[ "$status" -eq 1 ] || fail "the host example ended with $status, not 1 (no board)"
mkdir -p "$work/cmake-host"
cat > "$work/cmake-host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(host C)
find_package(TQApi REQUIRED)
add_executable(host $source/tests/host_example.c)
target_link_libraries(host PRIVATE TQApi::tqapi)
CMAKE
cmake -S "$work/cmake-host" -B "$work/cmake-host/build" -DCMAKE_PREFIX_PATH="$root/usr" > /dev/null ||
  fail "find_package(TQApi) fails with libtqapi-dev alone"
cmake --build "$work/cmake-host/build" > /dev/null

# The system's interpreter, as the package's users run it; the package finds
# the library relative to itself, with no help from the environment.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
found=$(env -u TQAPI_LIBRARY -u TQAPI_REPLAY_LIBRARY -u TQAPI_TQ PYTHONPATH="$root/usr/lib/python3/dist-packages" \
  "$python" -c 'import sys, tqapi, tqapi._native as n
print(len(tqapi.replay(sys.argv[1])), n.lib()._name, n.tq_program())' "$source/samples/hello-v2.raw") ||
  fail "python3 -c 'import tqapi' fails"
read -r count library tq <<<"$found"
[ "$count" -gt 100 ] || fail "the replay gave $count events"
[ "$library" = "$lib/libtqapi.so.1" ] || fail "the package loaded $library, not the root's library"
[ "$tq" = "$root/usr/bin/tq" ] || fail "the package found tq at $tq"
echo "deb: ${#debs[@]} packages, the files of make install, lintian without errors, unpacked and used"
