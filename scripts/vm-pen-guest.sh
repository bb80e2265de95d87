#!/bin/sh
# The init of vm-pen-test.sh's machine (busybox, no systemd): it runs what a
# desktop runs around tq pen, prints what it sees on the console between
# "vm: " markers, and asks the host, by a marker, to pull or plug the board's
# USB serial adapter. The host reads the console; every wait here is bounded,
# and the machine powers off at the end whatever happened.
#
# /etc/tq-vm.conf (written by the host): drawing_strokes, the strokes tqsim
# draws each time a host opens the board.
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
. /etc/tq-vm.conf
for module in /modules/*.ko; do insmod "$module"; done

uptime() { read -r now _ < /proc/uptime; echo "$now"; }
# Each line of standard input with the time since boot in front.
stamp() { while IFS= read -r line; do read -r now _ < /proc/uptime; echo "$now $line"; done; }
# wait_lines FILE PATTERN COUNT SECONDS: until COUNT lines of FILE match.
wait_lines() {
  tenths=0
  while count=$(grep -c -- "$2" "$1" 2> /dev/null); [ "${count:-0}" -lt "$3" ]; do
    tenths=$((tenths + 1))
    [ "$tenths" -le $(($4 * 10)) ] || return 1
    sleep 0.1
  done
}
# wait_stroke FILE SECONDS: until tq live's output in FILE (stamped) has a
# pen going down and up again.
wait_stroke() {
  tenths=0
  until awk '$2 == "down" { down = 1 } $2 == "up" && down { found = 1 } END { exit !found }' "$1" 2> /dev/null; do
    tenths=$((tenths + 1))
    [ "$tenths" -le $(($2 * 10)) ] || return 1
    sleep 0.1
  done
}
# wait_node PATH yes|no SECONDS: until PATH is there, or gone.
wait_node() {
  tenths=0
  while { [ "$2" = yes ] && [ ! -e "$1" ]; } || { [ "$2" = no ] && [ -e "$1" ]; }; do
    tenths=$((tenths + 1))
    [ "$tenths" -le $(($3 * 10)) ] || return 1
    sleep 0.1
  done
}
# wait_exit PID SECONDS: until the process has ended.
wait_exit() {
  ticks=0
  while kill -0 "$1" 2> /dev/null; do
    ticks=$((ticks + 1))
    [ "$ticks" -le $(($2 * 20)) ] || return 1
    sleep 0.05
  done
}
# A process's processor time so far, in seconds.
cpu() { awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$1/stat"; }
show() { echo "vm: $1 begin"; cat "$2"; echo "vm: $1 end"; }

# libinput watching, as a desktop's compositor would; ready once it has
# reported the machine's keyboard.
watch_start() {
  libinput-debug-events --udev seat0 > "$1" 2>&1 &
  watcher=$!
  wait_lines "$1" DEVICE_ADDED 1 20 || echo "vm: libinput did not start"
}
watch_stop() {
  kill "$watcher"
  wait "$watcher"
}

# The adapter as udev left it: the latency timer and the rule's properties.
show_adapter() {
  echo "vm: adapter $1 latency_timer $(cat /sys/bus/usb-serial/devices/ttyUSB0/latency_timer 2>&1)"
  udevadm info /dev/ttyUSB0 > /tmp/udev 2>&1
  show "adapter $1 udev" /tmp/udev
}

/sbin/udevd --daemon
udevadm trigger --action=add
udevadm settle --timeout=20
echo "vm: uinput $(ls -l /dev/uinput)"

# Replays: one capture each, libinput watching from before the device is
# made until after it has gone.
replay() {
  name=$1
  shift
  watch_start /tmp/events
  /bin/tq pen --replay "$@" --paced
  echo "vm: $name tq pen exit $?"
  wait_lines /tmp/events DEVICE_REMOVED 1 10
  watch_stop
  show "$name events" /tmp/events
}
replay plain /samples/hello-v2.raw
replay eraser /samples/eraser-v3.raw
replay pressure /samples/hello-v2.raw --pressure
replay calibrated /samples/hello-v2.raw --calibration /etc/left-half.calibration

# The board on the emulated FTDI adapter, coldplugged.
if wait_node /dev/ttyUSB0 yes 10; then
  show_adapter coldplug

  # tq pen on the adapter while the host pulls it and plugs it back; the
  # processor time it takes meanwhile (a reader spinning on the dead line
  # would take all of it).
  watch_start /tmp/live-events
  /bin/tq pen --device ttyUSB0 --reopen --raw-capture off > /tmp/pen 2>&1 &
  pen=$!
  wait_lines /tmp/live-events proximity-out "$drawing_strokes" 60 || echo "vm: no strokes before the unplug"
  echo "vm: strokes before unplug $(grep -c proximity-out /tmp/live-events)"
  echo "vm: unplug 1"
  wait_node /dev/ttyUSB0 no 20 && echo "vm: gone 1 at $(uptime) cpu $(cpu "$pen")"
  if wait_node /dev/ttyUSB0 yes 30; then
    echo "vm: back 1 at $(uptime) cpu $(cpu "$pen")"
    udevadm settle --timeout=10
    show_adapter hotplug
    wait_lines /tmp/live-events proximity-out $((2 * drawing_strokes)) 60 || echo "vm: no strokes after the replug"
  fi
  kill "$pen"
  wait_exit "$pen" 10 || { echo "vm: tq pen did not stop"; kill -9 "$pen"; }
  wait "$pen"
  echo "vm: live tq pen exit $?"
  watch_stop
  show "live pen" /tmp/pen
  show "live events" /tmp/live-events

  # The library itself, through tq live: the line error after an unplug in
  # the middle of a drawing, how long the close takes, and a new open after
  # the adapter is back.
  udevadm monitor --kernel --subsystem-match=tty > /tmp/uevents 2>&1 &
  monitor=$!
  mkfifo /tmp/fifo1 /tmp/fifo2
  stamp < /tmp/fifo1 > /tmp/live1 &
  /bin/tq live --device ttyUSB0 --events --raw-capture off > /tmp/fifo1 2>&1 &
  live=$!
  wait_lines /tmp/live1 ' down ' 1 30 || echo "vm: tq live saw no pen"
  echo "vm: unplug 2"
  wait_exit "$live" 20 || { echo "vm: tq live did not end after the unplug"; kill -9 "$live"; }
  wait "$live"
  echo "vm: unplugged tq live exit $? at $(uptime)"
  wait_node /dev/ttyUSB0 no 20 && echo "vm: gone 2 at $(uptime)"
  if wait_node /dev/ttyUSB0 yes 30; then
    echo "vm: back 2 at $(uptime)"
    stamp < /tmp/fifo2 > /tmp/live2 &
    /bin/tq live --device ttyUSB0 --events --raw-capture off > /tmp/fifo2 2>&1 &
    live=$!
    wait_stroke /tmp/live2 30 || echo "vm: tq live saw no stroke after the replug"
    stop=$(uptime)
    kill -INT "$live"
    wait_exit "$live" 20 || { echo "vm: tq live did not stop"; kill -9 "$live"; }
    wait "$live"
    echo "vm: replugged tq live exit $? stopped at $stop ended at $(uptime)"

    # A port left open on the dead line: without --reopen tq pen keeps it
    # after the line error. Its reader must sleep while the adapter is away,
    # and the close must not hang on the hung-up tty.
    /bin/tq pen --device ttyUSB0 --dry-run --raw-capture off > /tmp/held 2>&1 &
    held=$!
    wait_lines /tmp/held '^E: ' 1 30 || echo "vm: tq pen saw no pen before unplug 3"
    echo "vm: unplug 3"
    if wait_node /dev/ttyUSB0 no 20; then
      echo "vm: gone 3 at $(uptime) cpu $(cpu "$held")"
      sleep 3
      echo "vm: held 3 at $(uptime) cpu $(cpu "$held")"
    fi
    stop=$(uptime)
    kill -INT "$held"
    wait_exit "$held" 20 || { echo "vm: tq pen did not stop"; kill -9 "$held"; }
    wait "$held"
    echo "vm: held tq pen exit $? stopped at $stop ended at $(uptime)"
    grep '^tq pen: ' /tmp/held
  fi
  sleep 0.2
  kill "$monitor"
  show "live1" /tmp/live1
  show "live2" /tmp/live2
  show "uevents" /tmp/uevents
else
  echo "vm: no /dev/ttyUSB0"
fi
echo "vm: done"
poweroff -f
