#!/bin/busybox sh
# /init of the boot test's initramfs: loads oled_vm_host, the fake bus and
# uoledmod, binds the panel at 0-0024, drives its attributes through sysfs
# as the daemon and an operator would, unloads everything and powers off.
# The host side passes only on the pass line.

/bin/busybox mkdir -p /proc /sys /dev /tmp
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

refused() {
	# $1: what, $2: file, $3: text that the store must refuse
	if echo "$3" > "$2"; then
		fail "$1: '$3' accepted"
	fi
	echo "uoled-qemu: ok: $1"
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
check "luminance kept" "$(cat $D/attr_luminance)" 240

echo 3,4 > $D/attr_screen_offsets || fail "offsets refused"
check "offsets read back" "$(cat $D/attr_screen_offsets)" "3,4"
refused "one offset" $D/attr_screen_offsets 3

check "firmware text" "$(cat $D/attr_fw_versions)" "$(printf 'Firmware major release: 0x02\nFirmware minor release: 0x11\nHardware release: 0x03')"
check "model" "$(cat $D/attr_type)" MDP03CCFCH4
check "serial" "$(cat $D/attr_sn)" MV23A0417-00001234
check "temperature" "$(cat $D/attr_temperature)" 41

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
check "format reached the panel" "$(cat $PANEL/format)" 0x12
check "format shown" "$(cat $D/attr_video_format)" 2

# what the daemon writes: the number alone, no newline
printf 75 > $D/attr_luminance || fail "daemon luminance refused"
check "daemon luminance on the panel" "$(cat $PANEL/luminance)" 75
check "daemon luminance read back" "$(cat $D/attr_luminance)" 75

rmmod uoledmod || fail "uoledmod does not unload"
[ -d $D ] && fail "0-0024 still bound"
echo 1 > $VM/video_format || fail "format change after unload"
check "hook withdrawn at unload" "$(cat $VM/hook_result)" 1
rmmod uoled_fakebus || fail "uoled_fakebus does not unload"
rmmod oled_vm_host || fail "oled_vm_host does not unload"

finish "uoled-qemu: all checks passed"
