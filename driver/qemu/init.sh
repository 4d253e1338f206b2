#!/bin/busybox sh
# /init of the boot test's initramfs: loads oled_vm_host, the fake bus and
# uoledmod, binds the panel at 0-0024, drives its attributes through sysfs
# as the daemon and an operator would, then from two processes at once while
# the display driver changes its format, unloads during those changes, plugs
# and pulls the HDMI cable of fake_hdmi and powers off.  The host side passes
# only on the pass line.

/bin/busybox mkdir -p /proc /sys /dev /tmp /etc
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo 7 > /proc/sys/kernel/printk

MODS=/lib/modules
BUS=/sys/bus/i2c/devices/i2c-0
D=/sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024
PANEL=/sys/module/uoled_fakebus/parameters
VM=/sys/module/oled_vm_host/parameters

finish() {
	echo "uoled-qemu: kernel log follows"
	dmesg
	echo "$1"
	sync
	poweroff -f
}

fail() {
	echo "uoled-qemu: FAILED: $*"
	finish "uoled-qemu: test failed"
}

check() {
	[ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
	echo "uoled-qemu: ok: $1"
}

# start_job NAME COMMAND...: runs COMMAND in the background; its status
# lands in /tmp/NAME.rc
start_job() {
	name=$1
	shift
	rm -f /tmp/$name.rc
	( "$@"; echo $? > /tmp/$name.rc ) &
}

# await_jobs SECONDS NAME...: every job must end within SECONDS in all and
# succeed; one still running by then is hung, most likely on a lock
await_jobs() {
	left=$1
	shift
	for name in "$@"; do
		while [ ! -s /tmp/$name.rc ]; do
			if [ $left -le 0 ]; then
				echo w > /proc/sysrq-trigger
				fail "$name still running: deadlock?"
			fi
			sleep 1
			left=$((left - 1))
		done
		[ "$(cat /tmp/$name.rc)" = 0 ] || fail "$name failed"
	done
}

store_luminances() {
	for v in $(seq 100 115); do
		echo $v > $D/attr_luminance || return 1
	done
}

store_offsets() {
	for v in $(seq 1 10); do
		echo $v,-$v > $D/attr_screen_offsets || return 1
		echo $((v % 2)) > $D/attr_display_on || return 1
	done
}

# mode changes of the display driver, each calling the hook, until stopped
change_formats() {
	n=0
	while [ ! -e /tmp/stop ] && [ $n -lt 20000 ]; do
		echo $((n % 3)) > $VM/video_format || return 1
		n=$((n + 1))
	done
}

# the panel's format code once the last format change reached it
await_format() {
	want=$(echo 0x01 0x10 0x12 | cut -d' ' -f$(($(cat $VM/video_format) + 1)))
	left=20
	while [ "$(cat $PANEL/format)" != "$want" ] && [ $left -gt 0 ]; do
		sleep 1
		left=$((left - 1))
	done
	check "$1" "$(cat $PANEL/format)" "$want"
}

panel_errors() {
	dmesg | grep -cE 'timed out while in poll|fail to (read|write)|Failed to'
}

refused() {
	# $1: what, $2: file, $3: text that the store must refuse
	if echo "$3" > "$2"; then
		fail "$1: '$3' accepted"
	fi
	echo "uoled-qemu: ok: $1"
}

# a reader that is not root, for the root-only attributes
echo 'nobody:x:65534:65534:nobody:/:/bin/sh' > /etc/passwd
echo 'nogroup:x:65534:' > /etc/group
as_nobody() {
	su -s /bin/sh nobody -c "$1"
}

insmod $MODS/oled_vm_host.ko || fail "oled_vm_host.ko does not load"
insmod $MODS/uoled_fakebus.ko || fail "uoled_fakebus.ko does not load"
insmod $MODS/uoledmod.ko || fail "uoledmod.ko does not load"
[ -d $BUS ] || fail "no I2C bus 0"

echo mxc_uoled_i2c 0x24 > $BUS/new_device || fail "cannot create 0-0024"
[ -d $D ] || fail "mxc_uoled_i2c did not bind 0-0024"

check "panel initialised and lit" "$(cat $PANEL/display_on)" 1
check "start-up luminance" "$(cat $PANEL/luminance)" 200
check "sixteen attribute files" "$(ls $D | grep -c '^attr_')" 16
[ -e $D/attr_pon ] && fail "attr_pon exists without a power line"

echo 300 > $D/attr_luminance || fail "luminance 300 refused"
check "luminance clamped" "$(cat $D/attr_luminance)" 240
check "panel luminance clamped" "$(cat $PANEL/luminance)" 240
refused "negative luminance" $D/attr_luminance -5
refused "overflowing luminance" $D/attr_luminance 4294967297
check "luminance kept" "$(cat $D/attr_luminance)" 240

echo 3,4 > $D/attr_screen_offsets || fail "offsets refused"
check "offsets read back" "$(cat $D/attr_screen_offsets)" "3,4"
refused "one offset" $D/attr_screen_offsets 3

check "firmware text" "$(cat $D/attr_fw_versions)" "$(printf 'Firmware major release: 0x02\nFirmware minor release: 0x11\nHardware release: 0x03')"
check "model" "$(cat $D/attr_type)" MDP03CCFCH4
check "serial" "$(cat $D/attr_sn)" MV23A0417-00001234
check "temperature" "$(cat $D/attr_temperature)" 41
check "reader not root" "$(as_nobody 'id -u')" 65534
as_nobody "cat $D/attr_type" && fail "attr_type read by a user other than root"
echo "uoled-qemu: ok: attr_type refused to a user other than root"
check "cached value readable by anyone" "$(as_nobody "cat $D/attr_luminance")" 240

refused "pattern type 4" $D/attr_pattern_type 4
echo 2 > $D/attr_pattern_type || fail "pattern type 2 refused"
check "gray pattern" "$(cat $PANEL/pattern_ctrl)" 0x0044
check "pattern type read back" "$(cat $D/attr_pattern_type)" 2

echo 0x03da > /sys/module/uoledmod/parameters/work_reg || fail "work_reg"
echo 0x5a > $D/attr_register_8 || fail "register write refused"
check "register read back" "$(cat $D/attr_register_8)" 0x5a
refused "register without 0x" $D/attr_register_8 5a

echo 2 > $VM/video_format || fail "format change"
check "hook result" "$(cat $VM/hook_result)" 0
await_format "format reached the panel"
check "format shown" "$(cat $D/attr_video_format)" 2

# what the daemon writes: the number alone, no newline
printf 75 > $D/attr_luminance || fail "daemon luminance refused"
check "daemon luminance on the panel" "$(cat $PANEL/luminance)" 75
check "daemon luminance read back" "$(cat $D/attr_luminance)" 75

refused "blank delay over a second" /sys/module/uoledmod/parameters/blank_delay_ms 1001

# Two writers and the display driver's mode changes at once, blanked through
# the framebuffer whose blank operation calls the hook as well.  A lock-order
# fault between oled_lock and console_lock hangs here; the wait is bounded.
echo 2 > /sys/module/uoledmod/parameters/blank_delay_ms
echo 1 > $VM/hook_on_blank
blanks=$(cat $VM/fb_blanks)
errors=$(panel_errors)
rm -f /tmp/stop
start_job formats change_formats
start_job luminances store_luminances
start_job offsets store_offsets
await_jobs 120 luminances offsets
touch /tmp/stop
await_jobs 30 formats
check "last luminance" "$(cat $PANEL/luminance)" 115
check "last offsets" "$(cat $D/attr_screen_offsets)" "10,-10"
check "last display state" "$(cat $PANEL/display_on)" 0
await_format "last format reached the panel"
[ "$(cat $VM/fb_blanks)" -gt "$blanks" ] || fail "no framebuffer blanking"
check "no panel errors under concurrency" "$(panel_errors)" "$errors"

# unloaded while the display driver keeps calling the hook
rm -f /tmp/stop
start_job formats change_formats
sleep 1
rmmod uoledmod || fail "uoledmod does not unload"
[ -d $D ] && fail "0-0024 still bound"
touch /tmp/stop
await_jobs 30 formats
echo 1 > $VM/video_format || fail "format change after unload"
check "hook withdrawn at unload" "$(cat $VM/hook_result)" 1
rmmod uoled_fakebus || fail "uoled_fakebus does not unload"
rmmod oled_vm_host || fail "oled_vm_host does not unload"

# The HDMI cable node of emulated boards: the file is there while plugged.
HDMI=/sys/devices/soc0/soc/20e0000.hdmi_video
PLUGGED=/sys/module/fake_hdmi/parameters/plugged
cable() {
	if [ -e $HDMI/cable_state ]; then cat $HDMI/cable_state; else echo none; fi
}
insmod $MODS/fake_hdmi.ko || fail "fake_hdmi.ko does not load"
[ -d $HDMI ] || fail "no $HDMI"
check "no cable at load" "$(cable)" none
echo 1 > $PLUGGED
check "cable plugged" "$(cable)" plugin
refused "cable state junk" $PLUGGED 2
check "junk leaves the cable" "$(cable)" plugin
echo 0 > $PLUGGED
check "cable pulled" "$(cable)" none
rmmod fake_hdmi || fail "fake_hdmi does not unload"
[ -e /sys/devices/soc0 ] && fail "soc0 left after unload"
insmod $MODS/fake_hdmi.ko plugged=1 || fail "fake_hdmi.ko plugged=1 does not load"
check "plugged from load" "$(cable)" plugin
rmmod fake_hdmi || fail "fake_hdmi does not unload while plugged"

finish "uoled-qemu: all checks passed"
