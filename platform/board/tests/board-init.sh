#!/bin/busybox sh
# /init of the board check's initramfs: brings the board up from the package's own files, as
# the image's boot does (its modules-load.d list, its sight-panel script, uoledmod built as DKMS
# builds it), then presses the buttons through sight-buttons and reads them back from evdev.
# The host side passes only on the pass line.

/bin/busybox mkdir -p /proc /sys /dev /tmp /run
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

say() { echo "board-check: $*"; }
fail() {
    say "FAILED: $*"
    dmesg | tail -n 40
    poweroff -f
}
check() {
    [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
    say "ok: $1"
}
exists() { if [ -e "$1" ]; then echo yes; else echo no; fi; }

depmod
# evdev comes from udev in the image (its alias matches every input device)
modprobe evdev || fail "evdev"
for module in $(grep -v '^#' /usr/lib/modules-load.d/mrvdc-board-emu.conf); do
    modprobe "$module" || fail "modules-load.d names $module, which does not load"
done
check "HDMI node without a cable" \
    "$(exists /sys/devices/soc0/soc/20e0000.hdmi_video):$(exists /sys/devices/soc0/soc/20e0000.hdmi_video/cable_state)" \
    yes:no
check "the sound card is card 0 with a capture device" \
    "$(cat /proc/asound/card0/id):$(exists /dev/snd/pcmC0D0c)" "$(cat /expected-card):yes"

/usr/lib/mrvdc-board-emu/sight-panel || fail "sight-panel"
check "the panel's attributes" \
    "$(exists /sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024/attr_luminance)" yes
/usr/lib/mrvdc-board-emu/sight-panel || fail "sight-panel a second time"

/usr/bin/sight-buttons -k 28 2>/tmp/buttons.err &
buttons=$!
for _ in $(seq 25); do [ -p /run/sight-buttons ] && break; sleep 0.2; done
check "the FIFO" "$([ -p /run/sight-buttons ] && echo yes)" yes
device=
for input in /sys/class/input/input*; do
    [ "$(cat $input/phys)" = sight-buttons/input0 ] && device=$input
done
[ -n "$device" ] || fail "no input device with phys sight-buttons/input0"
# what the udev rule and the daemon rely on: name, identity, keys
check "the device" "$(cat $device/name) $(cat $device/id/bustype):$(cat $device/id/vendor)" \
    "gpio-keys 0019:0001"
check "its keys" "$(cat $device/capabilities/key)" "$(cat /expected-keys)"
node=/dev/input/$(basename $device/event*)
size=$(cat /event-size)

# 12 records: zoom, nuc and the extra key 28, each press, report, release, report. The refused
# lines and the unfinished last one press nothing; "2" and "8" arrive in two reads.
dd if=$node of=/tmp/events bs=$size count=12 2>/dev/null &
reader=$!
sleep 0.5
printf 'zoom\n  nuc \r\nbogus\n999\n' >/run/sight-buttons
printf '%0100d\n' 0 >/run/sight-buttons
printf '2' >/run/sight-buttons
printf '8\n' >/run/sight-buttons
printf 'pol' >/run/sight-buttons
for _ in $(seq 25); do kill -0 $reader 2>/dev/null || break; sleep 0.2; done
kill $reader 2>/dev/null
# type, code and value of each record: the last 8 bytes of the kernel's input_event
records=$(od -An -v -t u2 -w$size /tmp/events |
    awk '{ print $(NF - 3), $(NF - 2), $(NF - 1) }' | tr '\n' ';')
check "the presses" "$records" \
    "1 172 1;0 0 0;1 172 0;0 0 0;1 158 1;0 0 0;1 158 0;0 0 0;1 28 1;0 0 0;1 28 0;0 0 0;"
check "each refused line is told" "$(grep -c 'sight-buttons: ' /tmp/buttons.err)" 3

kill $buttons
wait $buttons
check "SIGTERM ends it with 0" "$?" 0
check "and removes the FIFO and the device" "$(exists /run/sight-buttons):$(exists $device)" no:no

say "all checks passed"
poweroff -f
