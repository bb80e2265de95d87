#!/bin/sh
# tq pen in a small virtual machine, as a desktop would see it: a Debian
# kernel with its own uinput and evdev modules, systemd-udevd reading the pen
# rule, and libinput's debug-events watching. tq pen replays a bundled
# capture at the board's pace into a real uinput device; libinput must take
# the device for a tablet and report, for every stroke of the capture,
# proximity in, tip down, motion, tip up and proximity out.
#
# usage: vm-pen-test.sh TQ SOURCE_DIR [SAMPLE]
#
# The kernel package is fetched once with apt-get download and unpacked, not
# installed (kept in $TQ_VM_CACHE, default ~/.cache/tq-vm). Needs
# qemu-system-x86_64, busybox (static), cpio, systemd-udevd and
# libinput-tools; without them, or without a kernel, it is skipped (exit
# status 77). The machine gets 150 s.
set -eu

tq=$1
source=$2
sample=${3:-hello-v2}
skip() { echo "vm-pen-test: skipped: $*"; exit 77; }

for tool in qemu-system-x86_64 busybox cpio gzip ldd; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done
udevd=/lib/systemd/systemd-udevd
debug_events=/usr/libexec/libinput/libinput-debug-events
[ -x "$udevd" ] || skip "systemd-udevd is not installed (package udev)"
[ -x "$debug_events" ] || skip "libinput debug-events is not installed (package libinput-tools)"
busybox_bin=$(command -v busybox)
ldd "$busybox_bin" > /dev/null 2>&1 && skip "busybox is not the static one (package busybox-static)"

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
[ -n "${TQ_VM_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
echo "vm-pen-test: working in $work"
root=$work/root
mkdir -p "$root"/bin "$root"/sbin "$root"/etc/udev/rules.d "$root"/lib/udev/rules.d "$root"/dev \
  "$root"/proc "$root"/sys "$root"/run "$root"/tmp "$root"/samples "$root"/modules

cp "$busybox_bin" "$root/bin/busybox"
for applet in sh mount mkdir sleep cat grep insmod poweroff echo kill ls wc; do
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
cp "$modules/kernel/drivers/input/evdev.ko" "$modules/kernel/drivers/input/misc/uinput.ko" "$root/modules/"
cp "$source/samples/$sample.raw" "$root/samples/"
printf 'root:x:0:0::/:/bin/sh\ntq-pen:x:990:990::/:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\ninput:x:101:\ntq-pen:x:990:\n' > "$root/etc/group"

cat > "$root/init" << 'EOF'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
insmod /modules/evdev.ko
insmod /modules/uinput.ko
/sbin/udevd --daemon
udevadm trigger --action=add
udevadm settle --timeout=10
echo "vm: uinput $(ls -l /dev/uinput)"
libinput-debug-events --udev seat0 > /tmp/events 2>&1 &
watcher=$!
sleep 1
/bin/tq pen --replay /samples/*.raw --paced
echo "vm: tq pen exit $?"
sleep 1
kill $watcher
sleep 0.2
echo "vm: events begin"
cat /tmp/events
echo "vm: events end"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2> /dev/null | gzip -1) > "$work/initrd"

# Emulated, not KVM: a nested KVM may refuse the CPU qemu asks for, and the
# machine boots in about ten seconds either way.
timeout "${TQ_VM_SECONDS:-150}" qemu-system-x86_64 -accel tcg -m 512 -nographic -no-reboot -kernel "$kernel" \
  -initrd "$work/initrd" -append "console=ttyS0 panic=-1 quiet" > "$work/console" 2>&1 || true
tr -d '\r' < "$work/console" > "$work/log"

fail() { echo "vm-pen-test: $*"; sed -n '/vm: /,$p' "$work/log" | head -n 80; exit 1; }
grep -q "vm: events end" "$work/log" || fail "the machine did not finish (console below)"
grep -q "vm: tq pen exit 0" "$work/log" || fail "tq pen failed in the machine"
sed -n '/vm: events begin/,/vm: events end/p' "$work/log" > "$work/events"
grep "DEVICE_ADDED" "$work/events" | grep "TQ board pen" | grep -q "cap:T" ||
  fail "libinput did not take TQ board pen for a tablet"

# Every stroke (a down in the capture's messages): proximity in, tip down, motion, tip up, proximity out.
strokes=$(grep -c '^down ' "$source/samples/$sample.events")
sequence=$(awk '
  /TABLET_TOOL_PROXIMITY/ && /proximity-in/ { printf "I" }
  /TABLET_TOOL_TIP/ && /down/ { printf "D" }
  /TABLET_TOOL_AXIS/ { printf "A" }
  /TABLET_TOOL_TIP/ && /up/ { printf "U" }
  /TABLET_TOOL_PROXIMITY/ && /proximity-out/ { printf "O" }' "$work/events" | sed 's/AA*/A/g')
whole=$(echo "$sequence" | grep -o 'IDAUO' | wc -l)
echo "vm-pen-test: $strokes strokes in $sample, libinput saw $whole whole ones"
[ "$whole" -eq "$strokes" ] && [ "$sequence" = "$(printf 'IDAUO%.0s' $(seq "$strokes"))" ] ||
  fail "libinput's tablet events are not one in-down-motion-up-out per stroke: $sequence"
echo "vm-pen-test: passed"
