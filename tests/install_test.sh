#!/usr/bin/env bash
# Installs the build into a staging prefix and builds the README's host
# example against it, once with pkg-config and once with find_package, as a
# user of an installed library does. The staged pkg-config file must point at
# the staging prefix, not where the build was configured to go.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR LIBDIR WORK_DIR
set -euo pipefail
build=$1 source=$2 libdir=$3 work=$4
rm -rf "$work"
mkdir -p "$work/cmake-host"
trap 'rm -rf "$work"' EXIT
stage="$work/stage"
cmake --install "$build" --prefix "$stage" > /dev/null

for file in bin/tq bin/tqsim share/man/man1/tq.1 share/man/man1/tqsim.1 include/TQApi.h \
            "$libdir/pkgconfig/tqapi.pc" "$libdir/cmake/TQApi/TQApiConfig.cmake" \
            lib/udev/rules.d/70-tq-pen.rules lib/systemd/system/tq-pen@.service lib/sysusers.d/tq-pen.conf; do
  [ -e "$stage/$file" ] || { echo "install: $file was not installed" >&2; exit 1; }
done

# The example exactly as the README prints it: the first C block.
awk '/^```c$/ { inside = 1; next } /^```$/ { if (inside) exit } inside' "$source/README.md" > "$work/host.c"
grep -q TQOpenPort "$work/host.c" || { echo "install: no C example in the README" >&2; exit 1; }

export PKG_CONFIG_PATH="$stage/$libdir/pkgconfig"
pkg-config --cflags --libs tqapi | grep -q -- "-L$stage/$libdir" ||
  { echo "install: tqapi.pc does not lead to $stage: $(pkg-config --libs tqapi)" >&2; exit 1; }
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/host-pc" "$work/host.c" $(pkg-config --cflags --libs tqapi)

cat > "$work/cmake-host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(host C)
find_package(TQApi REQUIRED)
add_executable(host $work/host.c)
target_compile_options(host PRIVATE -Wall -Wextra -Werror)
target_link_libraries(host PRIVATE TQApi::tqapi)
CMAKE
cmake -S "$work/cmake-host" -B "$work/cmake-host/build" -DCMAKE_PREFIX_PATH="$stage" > /dev/null
cmake --build "$work/cmake-host/build" > /dev/null

# Both programs run against the staged library and give up on a missing board.
for program in "$work/host-pc" "$work/cmake-host/build/host"; do
  status=0
  LD_LIBRARY_PATH="$stage/$libdir" TQ_COM1=/nonexistent/tq-board "$program" > /dev/null || status=$?
  [ "$status" -eq 1 ] || { echo "install: $program ended with $status, not 1 (no board)" >&2; exit 1; }
done
# With a board, the example runs until Ctrl-C and then closes its port.
link="$work/board"
"$stage/bin/tqsim" --pty --link "$link" --clean --timeout 20 > /dev/null &
sim=$!
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
LD_LIBRARY_PATH="$stage/$libdir" TQ_COM1="$link" "$work/host-pc" > "$work/host.out" &
host=$!
sleep 2
kill -INT "$host"
status=0
wait "$host" || status=$?
kill "$sim" 2> /dev/null || true
wait "$sim" 2> /dev/null || true
[ "$status" -eq 0 ] || { echo "install: the example ended with $status after Ctrl-C, not 0" >&2; exit 1; }
grep -q '^pen ' "$work/host.out" || { echo "install: the example printed no pen" >&2; exit 1; }
echo "install: staged, built with pkg-config and find_package"
