#!/bin/sh
# tq pen in a small virtual machine, as a desktop would see it: a Debian
# kernel with its own uinput, evdev, xHCI and ftdi_sio modules,
# systemd-udevd reading the pen rule, and libinput's debug-events watching.
# One boot (scripts/vm-pen-guest.sh is its init) checks:
#
# - replays of bundled captures at the board's pace into a real uinput
#   device: libinput takes it for a tablet of the size in mm that tq pen
#   declares and reports, for every stroke, proximity in, tip down, motion,
#   tip up and proximity out; the eraser of a version 3 board comes as
#   libinput's eraser tool; --pressure gives the motion a pressure; a
#   calibration onto the left half of the screen moves every position there
#   (half the share of the width an uncalibrated replay gives);
# - a live board (tqsim on a pty here) behind qemu's emulated FTDI adapter,
#   so the guest's real ftdi_sio makes /dev/ttyUSB0: after coldplug and after
#   a hotplug the rule has set the latency timer to 1 ms, told ModemManager
#   off and asked systemd for tq-pen@ttyUSB0.service; tq pen --reopen draws
#   the board's strokes, loses the line when the host pulls the adapter
#   through qemu's monitor, and draws again once it is plugged back in;
# - the library on that line through tq live: the line error promptly after
#   the unplug in the middle of a drawing, nothing after it, a prompt close,
#   and a new open that streams once the adapter is back; then, through tq
#   pen without --reopen, a port held open on the pulled adapter: its reader
#   asleep (no processor time to speak of) and its close prompt.
#
# usage: vm-pen-test.sh TQ SOURCE_DIR [TQSIM]   (TQSIM: default beside TQ)
#
# The kernel package is fetched once with apt-get download and unpacked, not
# installed (kept in $TQ_VM_CACHE, default ~/.cache/tq-vm). Needs
# qemu-system-x86_64, busybox (static), cpio, perl, systemd-udevd and
# libinput-tools; without them, or without a kernel and its modules, it is
# skipped (exit status 77). The machine gets $TQ_VM_SECONDS (default 200 s);
# TQ_VM_KEEP=1 keeps the working directory.
set -eu

tq=$1
source=$2
tqsim=${3:-$(dirname "$tq")/tqsim}
skip() {
  echo "vm-pen-test: skipped: $*"
  exit 77
}

for tool in qemu-system-x86_64 busybox cpio gzip ldd perl; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done
[ -x "$tqsim" ] || skip "no tqsim at $tqsim"
udevd=/lib/systemd/systemd-udevd
debug_events=/usr/libexec/libinput/libinput-debug-events
[ -x "$udevd" ] || skip "systemd-udevd is not installed (package udev)"
[ -x "$debug_events" ] || skip "libinput debug-events is not installed (package libinput-tools)"
busybox_bin=$(command -v busybox)
ldd "$busybox_bin" > /dev/null 2>&1 && skip "busybox is not the static one (package busybox-static)"
for device in qemu-xhci usb-serial; do
  qemu-system-x86_64 -device help 2> /dev/null | grep -q "\"$device\"" || skip "this qemu has no $device device"
done

cache=${TQ_VM_CACHE:-$HOME/.cache/tq-vm}
mkdir -p "$cache"
kernel=$(ls "$cache"/x/boot/vmlinuz-* 2> /dev/null | head -n 1 || true)
if [ -z "$kernel" ]; then
  command -v apt-get > /dev/null || skip "no kernel in $cache and no apt-get to fetch one"
  package=$(apt-cache depends linux-image-amd64 2> /dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
  [ -n "$package" ] || skip "apt does not know linux-image-amd64"
  (cd "$cache" && chmod 777 . && apt-get download "$package" > /dev/null 2>&1) || skip "cannot download $package"
  dpkg-deb -x "$cache"/"$package"_*.deb "$cache/x"
  kernel=$(ls "$cache"/x/boot/vmlinuz-* | head -n 1)
fi
modules=$(ls -d "$cache"/x/lib/modules/* | head -n 1)

work=$(mktemp -d)
qemu=
sim=
cleanup() {
  for pid in $qemu $sim; do kill "$pid" 2> /dev/null || true; done
  for pid in $qemu $sim; do wait "$pid" 2> /dev/null || true; done
  if [ -n "${TQ_VM_KEEP:-}" ]; then echo "vm-pen-test: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
echo "vm-pen-test: working in $work"
root=$work/root
mkdir -p "$root"/bin "$root"/sbin "$root"/etc/udev/rules.d "$root"/lib/udev/rules.d "$root"/dev \
  "$root"/proc "$root"/sys "$root"/run "$root"/tmp "$root"/samples "$root"/modules

# The modules the machine loads, in this order (each after those it needs);
# one the kernel has built in is left out.
number=10
for module in input/evdev input/misc/uinput usb/common/usb-common usb/core/usbcore usb/host/xhci-hcd \
  usb/host/xhci-pci usb/serial/usbserial usb/serial/ftdi_sio; do
  grep -q "/drivers/$module.ko\$" "$modules/modules.builtin" 2> /dev/null && continue
  file=$(ls "$modules/kernel/drivers/$module".ko* 2> /dev/null | head -n 1 || true)
  target=$root/modules/$number-$(basename "$module").ko
  case "$file" in
    *.ko) cp "$file" "$target" ;;
    *.ko.xz) xz -dc "$file" > "$target" 2> /dev/null || skip "cannot unpack $file (xz)" ;;
    *.ko.zst) zstd -dcq "$file" > "$target" 2> /dev/null || skip "cannot unpack $file (zstd)" ;;
    *) skip "the kernel in $modules has no module $module" ;;
  esac
  number=$((number + 1))
done

cp "$busybox_bin" "$root/bin/busybox"
for applet in sh awk mount mkdir mkfifo sleep cat grep insmod poweroff echo kill ls wc; do
  ln -s busybox "$root/bin/$applet"
done

# A program and every library ldd names, at the same paths.
copy_program() {
  mkdir -p "$root$(dirname "$2")"
  cp "$1" "$root$2"
  for lib in $(ldd "$1" | grep -o '/[^ ]*'); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
copy_program "$tq" /bin/tq
copy_program "$udevd" /sbin/udevd
copy_program "$(command -v udevadm)" /bin/udevadm
copy_program "$debug_events" /bin/libinput-debug-events
mkdir -p "$root/usr/share"
cp -r /usr/share/libinput "$root/usr/share/"
[ -d /usr/share/libwacom ] && cp -r /usr/share/libwacom "$root/usr/share/"
cp /usr/lib/udev/rules.d/60-input-id.rules "$root/lib/udev/rules.d/"
cp "$source/dist/70-tq-pen.rules" "$root/etc/udev/rules.d/"
cp "$source/samples/hello-v2.raw" "$source/samples/eraser-v3.raw" "$root/samples/"
cp "$source/scripts/vm-pen-guest.sh" "$root/init"
chmod +x "$root/init"
printf 'root:x:0:0::/:/bin/sh\ntq-pen:x:990:990::/:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\ninput:x:101:\ntq-pen:x:990:\n' > "$root/etc/group"

# What tq pen declares for a replay of hello-v2, from its dry run's evemu
# header: the X and Y maxima and the size libinput derives, (max - min) /
# resolution millimetres, printed as libinput prints it.
declared() {
  "$tq" pen --replay "$source/samples/hello-v2.raw" --dry-run "$@" | awk '
    $1 == "A:" && ($2 == "00" || $2 == "01") { max[$2] = $4; mm[$2] = ($4 - $3) / $7 }
    END { printf "%d %d %.0fx%.0fmm\n", max["00"], max["01"], mm["00"], mm["01"] }'
}
read -r x_max y_max size << EOF
$(declared)
EOF
# A calibration that puts the whole board onto the left half of a 1920x1080
# screen: a device in screen pixels whose X stops at the middle.
cat > "$root/etc/left-half.calibration" << EOF
screen 1920 1080
board $x_max $y_max
pair 0 0 0 0
pair $x_max 0 960 0
pair $x_max $y_max 960 1080
pair 0 $y_max 0 1080
EOF
read -r _ _ calibrated_size << EOF
$(declared --calibration "$root/etc/left-half.calibration")
EOF

# tqsim's drawing each time a host opens the board: three strokes of about
# 1.3 s each, long enough for an unplug to land in the middle of one.
printf '400 600\n2400 600\n\n400 1200\n2400 1200\n\n400 1800\n2400 1800\n' > "$work/strokes"
drawing_strokes=3
echo "drawing_strokes=$drawing_strokes" > "$root/etc/tq-vm.conf"
(cd "$root" && find . | cpio -o -H newc 2> /dev/null | gzip -1) > "$work/initrd"

seconds=${TQ_VM_SECONDS:-200}
"$tqsim" --pty --clean --strokes "$work/strokes" --timeout $((seconds + 20)) > "$work/tqsim" 2>&1 &
sim=$!
tenths=0
until pty=$(sed -n 's/^tqsim: board .* on \(\/dev\/[^ ]*\).*/\1/p' "$work/tqsim") && [ -n "$pty" ]; do
  tenths=$((tenths + 1))
  [ "$tenths" -le 100 ] || { cat "$work/tqsim"; echo "vm-pen-test: tqsim did not start"; exit 1; }
  sleep 0.1
done

# Emulated, not KVM: a nested KVM may refuse the CPU qemu asks for, and the
# machine boots in about ten seconds either way. The board's adapter is
# qemu's FTDI (0403:6001) on an xHCI controller, its line tqsim's pty.
timeout "$seconds" qemu-system-x86_64 -accel tcg -m 512 -nodefaults -display none -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd" -append "console=ttyS0 panic=-1 quiet" \
  -serial "file:$work/console" -monitor "unix:$work/monitor,server,nowait" \
  -device qemu-xhci -chardev "serial,id=board,path=$pty" -device usb-serial,chardev=board,id=adapter \
  < /dev/null > "$work/qemu" 2>&1 &
qemu=$!

fail() {
  echo "vm-pen-test: $*"
  tr -d '\r' < "$work/console" | sed -n '/vm: /,$p' | head -n 150
  exit 1
}
running() {
  state=Z
  [ -r "/proc/$qemu/stat" ] && read -r _ _ state _ < "/proc/$qemu/stat"
  [ "$state" != Z ]
}
# wait_console MARKER SECONDS: until the machine prints MARKER.
wait_console() {
  tenths=0
  until grep -q "$1" "$work/console" 2> /dev/null; do
    running || return 1
    tenths=$((tenths + 1))
    [ "$tenths" -le $(($2 * 10)) ] || return 1
    sleep 0.1
  done
}
# One command on qemu's monitor, its answer into $work/monitor.log.
monitor() {
  perl -MIO::Socket::UNIX -e '
    alarm 10;
    my $s = IO::Socket::UNIX->new(Peer => $ARGV[0]) or die "no monitor at $ARGV[0]: $!\n";
    my $seen = "";
    sub prompt { while ($seen !~ /\(qemu\) $/) { sysread($s, my $more, 4096) or die "the monitor closed\n"; $seen .= $more; } }
    prompt(); $seen = "";
    print $s "$ARGV[1]\n";
    prompt(); print "$seen\n";' "$work/monitor" "$1" >> "$work/monitor.log" 2>&1 ||
    fail "qemu's monitor did not take $1"
}
# Pull the adapter when the machine asks.
unplug() {
  wait_console "vm: unplug $1" 150 || fail "the machine did not get to unplug $1"
  monitor "device_del adapter"
  wait_console "vm: gone $1" 30 || fail "/dev/ttyUSB0 did not go after unplug $1"
}
# ... and plug it back after SECONDS.
replug() {
  unplug "$1"
  sleep "$2"
  monitor "device_add usb-serial,chardev=board,id=adapter"
}
replug 1 4 # long enough for tq pen --reopen to try (every 3 s) and fail
replug 2 1
unplug 3
wait_console "vm: done" 120 || fail "the machine did not finish (console below)"
wait "$qemu" || true
qemu=
tr -d '\r' < "$work/console" > "$work/log"

# The lines between "vm: NAME begin" and "vm: NAME end".
section() { sed -n "/^vm: $1 begin/,/^vm: $1 end/p" "$work/log"; }
# The tablet events as letters: proximity In, tip Down, Axis (a run of
# them as one), tip Up, proximity Out.
letters() {
  awk '
    /TABLET_TOOL_PROXIMITY/ && /proximity-in/ { printf "I" }
    /TABLET_TOOL_TIP/ && /down/ { printf "D" }
    /TABLET_TOOL_AXIS/ { printf "A" }
    /TABLET_TOOL_TIP/ && /up/ { printf "U" }
    /TABLET_TOOL_PROXIMITY/ && /proximity-out/ { printf "O" }' | sed 's/AA*/A/g'
}
repeat() { printf "$1%.0s" $(seq "$2"); }

for run in plain eraser pressure calibrated; do
  grep -q "vm: $run tq pen exit 0" "$work/log" || fail "tq pen's $run replay failed in the machine"
  section "$run events" > "$work/$run"
done

# The device: a tablet, of the size tq pen declares.
added=$(grep DEVICE_ADDED "$work/plain" | grep "TQ board pen" || true)
echo "$added" | grep -q "cap:T" || fail "libinput did not take TQ board pen for a tablet: $added"
echo "$added" | grep -q " size $size" || fail "libinput's size is not the declared $size: $added"
echo "vm-pen-test: libinput's tablet is $size, as tq pen declares"

# Every stroke (a down in the capture's messages) in, down, moving, up, out.
strokes=$(grep -c '^down ' "$source/samples/hello-v2.events")
sequence=$(letters < "$work/plain")
[ "$sequence" = "$(repeat IDAUO "$strokes")" ] ||
  fail "libinput's tablet events are not one in-down-motion-up-out per stroke of $strokes: $sequence"
echo "vm-pen-test: $strokes strokes in hello-v2, libinput saw $strokes whole ones"

# The eraser: its footprints (pen code 0 on a version 3 board) are
# libinput's eraser tool, going in and out as a whole; the pens' strokes
# stay the pen's.
pen_strokes=$(awk '$1 == "down" && $4 != 0' "$source/samples/eraser-v3.events" | wc -l)
# How often libinput's TOOL came in or went out (proximity-in, -out).
tool_count() { grep TABLET_TOOL_PROXIMITY "$work/eraser" | grep -c -E "[[:space:]]$1 +\(.*$2" || true; }
pen_ins=$(tool_count pen proximity-in)
eraser_ins=$(tool_count eraser proximity-in)
eraser_outs=$(tool_count eraser proximity-out)
sequence=$(letters < "$work/eraser")
[ "$eraser_ins" -ge 1 ] && [ "$eraser_outs" -eq "$eraser_ins" ] ||
  fail "libinput saw the eraser tool come in $eraser_ins times and go $eraser_outs times"
[ "$pen_ins" -eq "$pen_strokes" ] || fail "libinput saw the pen come in $pen_ins times for $pen_strokes pen strokes"
[ "$sequence" = "$(repeat IDAUO $((pen_ins + eraser_ins)))" ] ||
  fail "the eraser replay's tablet events are not whole in-down-motion-up-out runs: $sequence"
echo "vm-pen-test: eraser-v3: $pen_strokes pen strokes and $eraser_ins eraser passes, each whole"

# --pressure: every motion with the tip down carries the pressure tq pen
# writes while touching, as a share of its range (its dry run: the
# ABS_PRESSURE maximum and the values above 0).
share=$("$tq" pen --replay "$source/samples/hello-v2.raw" --dry-run --pressure | awk '
  $1 == "A:" && $2 == "18" { max = $4 }
  $1 == "E:" && $3 == "0003" && $4 == "0018" && $5 + 0 > 0 { value = $5 + 0 }
  END { if (max > 0 && value > 0) printf "%.4f", value / max }')
[ -n "$share" ] || fail "tq pen --pressure declares no pressure"
awk -v share="$share" '
  /TABLET_TOOL_TIP/ { down = /down/ }
  /TABLET_TOOL_AXIS/ && down {
    motions++
    if (match($0, /pressure: [0-9.]+/)) { p = substr($0, RSTART + 10, RLENGTH - 10) + 0; if (p - share < 0.01 && share - p < 0.01) pressed++ }
  }
  END { printf "%d %d\n", motions, pressed }' "$work/pressure" > "$work/pressed"
read -r motions pressed < "$work/pressed"
[ "$motions" -gt 0 ] && [ "$pressed" -eq "$motions" ] ||
  fail "with --pressure, $pressed of $motions motions with the tip down carry the pressure $share"
echo "vm-pen-test: with --pressure, all $motions motions with the tip down carry the pressure $share"

# The calibration onto the left half: a device of the declared (screen)
# size, every position in the left half, and each stroke's positions where
# the uncalibrated replay has them, at half the share of the width.
added=$(grep DEVICE_ADDED "$work/calibrated" | grep "TQ board pen" || true)
echo "$added" | grep -q " size $calibrated_size" ||
  fail "the calibrated device's size is not the declared $calibrated_size: $added"
# Each proximity and tip line's position as shares of the device's width
# and height: "x y", one a line.
shares() {
  awk '
    /DEVICE_ADDED/ && /TQ board pen/ { match($0, /size [0-9]+x[0-9]+mm/); split(substr($0, RSTART + 5, RLENGTH - 7), wh, "x") }
    /TABLET_TOOL_(PROXIMITY|TIP|AXIS)/ && match($0, /[0-9.]+\*?\/[0-9.]+\*?/) {
      split(substr($0, RSTART, RLENGTH), xy, "/"); sub(/\*/, "", xy[1]); sub(/\*/, "", xy[2])
      printf "%s %.4f %.4f\n", ($0 ~ /AXIS/ ? "axis" : "edge"), xy[1] / wh[1], xy[2] / wh[2] }' "$1"
}
shares "$work/plain" > "$work/plain.shares"
shares "$work/calibrated" > "$work/calibrated.shares"
right=$(awk '$2 > 0.5' "$work/calibrated.shares" | wc -l)
[ "$right" -eq 0 ] || fail "$right calibrated positions lie right of the screen's middle"
grep '^edge' "$work/plain.shares" > "$work/plain.edges"
grep '^edge' "$work/calibrated.shares" > "$work/calibrated.edges"
[ "$(wc -l < "$work/plain.edges")" -eq "$(wc -l < "$work/calibrated.edges")" ] ||
  fail "the calibrated replay has another number of strokes than the plain one"
paste -d ' ' "$work/plain.edges" "$work/calibrated.edges" | awk '
  { dx = $5 - $2 / 2; dy = $6 - $3; if (dx < 0) dx = -dx; if (dy < 0) dy = -dy
    if (dx > worst) worst = dx; if (dy > worst) worst = dy; if ($2 > widest) widest = $2; if ($5 > cwidest) cwidest = $5 }
  END { printf "%.4f %.3f %.3f\n", worst, widest, cwidest }' > "$work/compared"
read -r worst widest calibrated_widest < "$work/compared"
awk -v w="$worst" 'BEGIN { exit !(w <= 0.002) }' ||
  fail "calibrated positions are off half the plain ones' share of the width by up to $worst"
echo "vm-pen-test: calibrated onto the left half: $calibrated_size, the rightmost stroke end at $calibrated_widest of the width (plain: $widest), within $worst of half"

# The adapter, after coldplug and after the hotplug: the rule's work.
for plug in coldplug hotplug; do
  grep -q "^vm: adapter $plug latency_timer 1\$" "$work/log" ||
    fail "the adapter's latency timer after $plug: $(grep "vm: adapter $plug latency_timer" "$work/log")"
  section "adapter $plug udev" > "$work/udev-$plug"
  for property in ID_MM_DEVICE_IGNORE=1 'TAGS=.*:systemd:' 'CURRENT_TAGS=.*:systemd:' \
    'SYSTEMD_WANTS=tq-pen@ttyUSB0.service$'; do
    grep -q "^E: $property" "$work/udev-$plug" || fail "udev gave the adapter no $property after $plug"
  done
done
echo "vm-pen-test: the adapter after coldplug and hotplug: latency timer 1 ms, ModemManager off, tq-pen@ttyUSB0.service wanted"

# tq pen --reopen on the adapter: strokes before the unplug and after the
# replug, on the one device it made.
grep -q "vm: live tq pen exit 0" "$work/log" || fail "tq pen on the adapter did not end well"
section "live events" > "$work/live"
before=$(sed -n 's/^vm: strokes before unplug \([0-9]*\)$/\1/p' "$work/log")
whole_before=$(head -n "$(grep -n proximity-out "$work/live" | sed -n "${before:-1}p" | cut -d: -f1)" "$work/live" |
  letters | grep -o IDAUO | wc -l)
whole_after=$(letters < "$work/live" | grep -o IDAUO | wc -l)
whole_after=$((whole_after - whole_before))
devices=$(grep DEVICE_ADDED "$work/live" | grep -c "TQ board pen (ttyUSB0)" || true)
[ "$devices" -eq 1 ] || fail "libinput saw TQ board pen (ttyUSB0) added $devices times"
[ "$whole_before" -ge 1 ] && [ "$whole_after" -ge 1 ] ||
  fail "tq pen on the adapter: $whole_before whole strokes before the unplug, $whole_after after the replug"
section "live pen" | grep -q "line error" || fail "tq pen did not notice the unplug"
section "live pen" | grep -q "open again" || fail "tq pen did not open the adapter again"
# Its processor time while the adapter was away: a fifth of the time at most.
sed -n 's/^vm: gone 1 at \([0-9.]*\) cpu \([0-9.]*\)$/\1 \2/p; s/^vm: back 1 at \([0-9.]*\) cpu \([0-9.]*\)$/\1 \2/p' "$work/log" |
  awk 'NR == 1 { t = $1; c = $2 } NR == 2 { printf "%.2f %.2f\n", $1 - t, $2 - c }' > "$work/away"
read -r away busy < "$work/away" || fail "no processor times of tq pen while the adapter was away"
awk -v a="$away" -v b="$busy" 'BEGIN { exit !(b <= a / 5) }' ||
  fail "tq pen took $busy s of processor time in the $away s the adapter was away"
echo "vm-pen-test: tq pen --reopen on ttyUSB0: $whole_before whole strokes before the unplug, $whole_after after the replug; $busy s of processor time in the $away s without the adapter"

# tq live: the line error within a second of the tty's removal, nothing but
# the tool's own farewell after it, the close within two seconds; after the
# replug a new open streams and stops within two seconds of SIGINT.
section live1 | grep -v '^vm: ' > "$work/live1"
section live2 | grep -v '^vm: ' > "$work/live2"
# The kernel's first removal of the tty since tq live started (ftdi_sio
# hangs it up just before).
removed=$(section uevents | sed -n 's/^KERNEL\[\([0-9.]*\)\] *remove .*\/ttyUSB0 (tty)$/\1/p' | head -n 1)
error_at=$(awk '$2 == "comm" && $3 == 8 { print $1; exit }' "$work/live1")
closed_at=$(awk '/ tq live: the board.s line failed/ { print $1; exit }' "$work/live1")
pens=$(awk '$2 == "down" || $2 == "move" || $2 == "up"' "$work/live1" | wc -l)
after=$(awk 'seen { print } $2 == "comm" && $3 == 8 { seen = 1 }' "$work/live1" | grep -v ' tq live: ' || true)
ended=$(sed -n 's/^vm: unplugged tq live exit 1 at \([0-9.]*\)$/\1/p' "$work/log")
[ -n "$removed" ] || fail "no removal of ttyUSB0 among the kernel's events"
[ -n "$error_at" ] || fail "tq live got no line error 8 after the unplug: $(tail -n 3 "$work/live1")"
[ -n "$closed_at" ] || fail "tq live did not say that the line failed"
[ "$pens" -gt 0 ] || fail "tq live got no pen messages before the unplug"
[ -z "$after" ] || fail "tq live printed after the line error: $after"
[ -n "$ended" ] || fail "tq live did not exit with status 1 after the unplug"
awk -v r="$removed" -v e="$error_at" -v c="$closed_at" -v x="$ended" \
  'BEGIN { printf "%.2f %.2f %.2f\n", e - r, c - e, x - e }' > "$work/timing"
read -r error_delay close_time exit_time < "$work/timing"
awk -v d="$error_delay" -v x="$exit_time" 'BEGIN { exit !(d <= 1.0 && x <= 2.0) }' ||
  fail "tq live: the line error $error_delay s after the removal, the exit $exit_time s after the error"
last=$(awk '$2 == "comm" { exit } $2 == "down" || $2 == "move" || $2 == "up" { last = $2 } END { print last }' "$work/live1")
echo "vm-pen-test: tq live: $pens pen messages (the last a $last), line error 8 at $error_delay s from the kernel's removal of ttyUSB0 (its hang-up comes just before), port closed $close_time s and the process gone $exit_time s after it"
stopped=$(sed -n 's/^vm: replugged tq live exit 0 stopped at \([0-9.]*\) ended at \([0-9.]*\)$/\1 \2/p' "$work/log")
[ -n "$stopped" ] || fail "tq live after the replug did not end well: $(grep 'vm: replugged' "$work/log")"
strokes_again=$(awk '$2 == "down" { down = 1 } $2 == "up" && down { n++; down = 0 } END { print n + 0 }' "$work/live2")
[ "$strokes_again" -ge 1 ] || fail "tq live after the replug got no stroke"
stop_time=$(echo "$stopped" | awk '{ printf "%.2f", $2 - $1 }')
awk -v s="$stop_time" 'BEGIN { exit !(s <= 2.0) }' || fail "tq live took $stop_time s to stop"
echo "vm-pen-test: tq live after the replug: $strokes_again strokes, stopped $stop_time s after SIGINT"

# A port held open on the dead line (tq pen without --reopen): the line
# error said, a fifth of the processor time at most while it waits, and a
# close within two seconds of SIGINT.
grep -q "^tq pen: line error 8" "$work/log" || fail "tq pen holding the port did not get the line error"
sed -n 's/^vm: gone 3 at \([0-9.]*\) cpu \([0-9.]*\)$/\1 \2/p; s/^vm: held 3 at \([0-9.]*\) cpu \([0-9.]*\)$/\1 \2/p' "$work/log" |
  awk 'NR == 1 { t = $1; c = $2 } NR == 2 { printf "%.2f %.2f\n", $1 - t, $2 - c }' > "$work/held"
read -r held busy < "$work/held" || fail "no processor times of tq pen holding the dead port"
awk -v a="$held" -v b="$busy" 'BEGIN { exit !(b <= a / 5) }' ||
  fail "tq pen took $busy s of processor time in $held s on the dead port"
stopped=$(sed -n 's/^vm: held tq pen exit 0 stopped at \([0-9.]*\) ended at \([0-9.]*\)$/\1 \2/p' "$work/log")
[ -n "$stopped" ] || fail "tq pen holding the dead port did not end well: $(grep 'vm: held tq pen' "$work/log")"
stop_time=$(echo "$stopped" | awk '{ printf "%.2f", $2 - $1 }')
awk -v s="$stop_time" 'BEGIN { exit !(s <= 2.0) }' || fail "tq pen took $stop_time s to close the dead port"
echo "vm-pen-test: tq pen holding the dead port: $busy s of processor time in $held s, closed $stop_time s after SIGINT"
echo "vm-pen-test: passed"
