#!/usr/bin/env bash
# Runs the Windows test programs of a cross build under Wine.
#
# A Wine prefix per run in a temporary directory (TQ_WINE_PREFIX names one
# to keep and reuse instead), no display (the null graphics driver), one
# wineserver kept alive for the whole run. COM1 to COM8 map to stable paths
# <run>/ports/comN, where the board relay links the pseudo-terminal of each
# scripted board while it exists (no path, no device: the machine's own
# serial devices are never touched). The test-only pty_modem preload lets
# WaitCommEvent work on a pseudo-terminal. The build may be an x86 or an x64
# one: 32-bit programs run in the same 64-bit prefix (Wine's wine32), with
# the preload built for them as well.
#
# Usage: wine-tests.sh BUILD_DIRECTORY [TEST_PROGRAM...]
set -euo pipefail
build=$(cd "${1:?usage: wine-tests.sh BUILD_DIRECTORY [TEST...]}" && pwd)
shift
source_dir=$(cd "$(dirname "$0")/.." && pwd)
support=$source_dir/tests/support/win32/linux

# Cases that meet known gaps of Wine which real Windows does not have.
declare -A wine_gaps=(
  [probe_test]="OpenFailures.LineHeldByAnotherOpenerIsRefused"  # a second exclusive COM open succeeds
  # Wine's WaitCommEvent watches only the queue and the modem lines: a line
  # that goes away (the pty's master closes) never ends the pending wait.
  [live_test]="Live.VanishedDeviceIsReportedOnceAndCloseReturns"
  # Wine does not enforce byte-range locks on writes, the full disk of the
  # Windows programs.
  [capture_test]="FailingWrites.PenMessagesKeepFlowing"
)

run=$(mktemp -d "${TMPDIR:-/tmp}/tq-wine.XXXXXX")
export WINEPREFIX=${TQ_WINE_PREFIX:-$run/prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
relay_pid=
cleanup() {
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$run"
}
trap cleanup EXIT

# The Linux helpers, rebuilt when their sources change.
tools=$build/wine-support
mkdir -p "$tools" "$run/ports"
if [ ! "$tools/board_relay" -nt "$support/board_relay.cpp" ]; then
  g++ -std=c++20 -O1 -Wall -Wextra -Werror -pthread -o "$tools/board_relay" "$support/board_relay.cpp" -lutil
fi
# The preload in a 64-bit and a 32-bit build: Wine starts its 32-bit loader
# first whenever wine32 is there, even for a 64-bit program, and the dynamic
# loader of each process picks its own through $LIB.
preload_64=$tools/lib/x86_64-linux-gnu/pty_modem.so
preload_32=$tools/lib/i386-linux-gnu/pty_modem.so
if [ ! "$preload_64" -nt "$support/pty_modem.c" ]; then
  mkdir -p "$(dirname "$preload_64")"
  gcc -O1 -Wall -Wextra -Werror -shared -fPIC -o "$preload_64" "$support/pty_modem.c" -ldl
fi
if [ -x /usr/lib/wine/wine ] && [ ! "$preload_32" -nt "$support/pty_modem.c" ]; then
  mkdir -p "$(dirname "$preload_32")"
  gcc -m32 -O1 -Wall -Wextra -Werror -shared -fPIC -o "$preload_32" "$support/pty_modem.c" -ldl
fi

# A set-up step of Wine that fails is said so and tried once more: a fresh
# prefix now and then fails its first start on a busy machine.
setup() {
  "$@" >/dev/null 2>&1 && return 0
  echo "wine-tests: '$*' failed; trying once more" >&2
  sleep 2
  "$@" >/dev/null 2>&1 || { echo "wine-tests: '$*' failed again" >&2; return 1; }
}

case $(x86_64-w64-mingw32-objdump -f "$build/TQApi.dll" 2>/dev/null | sed -n 's/.*file format //p') in
  pei-i386) arch=x86 ;;
  pei-x86-64) arch=x64 ;;
  *) echo "wine-tests: $build/TQApi.dll is not an x86 or x64 DLL" >&2; exit 1 ;;
esac
if [ "$arch" = x86 ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "wine-tests: 32-bit programs need wine32 (dpkg --add-architecture i386; apt-get install wine32:i386)" >&2
  exit 1
fi

start=$(date +%s)
mkdir -p "$WINEPREFIX"
wineserver -p >"$run/wineserver.log" 2>&1
setup wine wineboot --init
{
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\n"Graphics"="null"\n\n'
  printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for n in 1 2 3 4 5 6 7 8; do printf '"COM%d"="%s"\n' "$n" "$run/ports/com$n"; done
} >"$run/settings.reg"
setup wine regedit /S "$(winepath -w "$run/settings.reg")"
# The port mapping is read when the wineserver starts.
wineserver -k >/dev/null 2>&1
wineserver -w
wineserver -p >"$run/wineserver.log" 2>&1
echo "$arch: wine prefix ready in $(( $(date +%s) - start )) s: $WINEPREFIX"

"$tools/board_relay" "$run/ports" >"$run/relay.port" &
relay_pid=$!
for _ in $(seq 50); do [ -s "$run/relay.port" ] && break; sleep 0.1; done
export TQ_BOARD_RELAY=$(cat "$run/relay.port")

if [ $# -gt 0 ]; then
  tests=("$@")
else
  mapfile -t tests <"$build/windows-tests.txt"
  if [ -s "$build/windows-tests-left-out.txt" ]; then
    echo "not Windows programs (the POSIX backend, POSIX devices, the Linux tools):" \
      $(cat "$build/windows-tests-left-out.txt")
  fi
fi
failed=()
for name in "${tests[@]}"; do
  [ -n "$name" ] || continue
  filter=
  if [ -n "${wine_gaps[$name]:-}" ]; then
    filter="--gtest_filter=-${wine_gaps[$name]}"
    echo "== $name: skipped under Wine (known Wine gap): ${wine_gaps[$name]}"
  fi
  began=$(date +%s)
  if (cd "$run" && LD_PRELOAD="$tools/\$LIB/pty_modem.so" timeout 300 \
        wine "$build/tests/$name.exe" --gtest_brief=1 $filter); then
    echo "== $name: passed in $(( $(date +%s) - began )) s"
  else
    echo "== $name: FAILED"
    failed+=("$name")
  fi
done
echo "windows tests ($arch): ${#tests[@]} programs, ${#failed[@]} failed, $(( $(date +%s) - start )) s in all"
[ ${#failed[@]} -eq 0 ]
