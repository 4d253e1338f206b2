#!/usr/bin/env bash
# Kbuild check: uoledmod and oled_vm_host built against Debian headers with
# warnings as errors, then their metadata read back.  "pinned" is the kernel
# the qemu test boots (6.1); "new" the newer headers unpacked by scripts/deps;
# "arm" the pinned version's 32-bit ARM (armmp) headers with the cross compiler.
#
#   kbuild-check.sh DRIVER_SOURCE_DIR WORK_DIR [pinned|new|arm]
set -euo pipefail

src=$(cd "$1" && pwd)
work=$2
. "$src/qemu/debian-kernel.env"
cross=()
nm=nm
case ${3:-pinned} in
pinned) headers=/usr/src/linux-headers-$UOLED_KERNEL_ABI ;;
new) abi=$UOLED_NEW_HEADERS_ABI
     headers=$UOLED_KERNEL_DIR/headers-$abi/usr/src/linux-headers-$abi ;;
arm) abi=$UOLED_ARM_HEADERS_ABI
     headers=$UOLED_KERNEL_DIR/headers-$abi/usr/src/linux-headers-$abi
     cross=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-)
     nm=arm-linux-gnueabihf-nm ;;
*) echo "unknown headers: $3" >&2; exit 2 ;;
esac

[ -e "$headers/Makefile" ] || { echo "missing $headers: run scripts/deps" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cp "$src"/*.c "$src"/*.h "$src/Makefile" "$work/"
if ! make -C "$headers" M="$work" "${cross[@]}" UOLED_HOST_VM=1 KCFLAGS=-Werror modules \
        >"$work/build.log" 2>&1; then
    cat "$work/build.log"
    echo "Kbuild failed" >&2
    exit 1
fi
if grep -Ei 'warning' "$work/build.log" | grep -v 'Skipping BTF generation'; then
    echo "Kbuild reported warnings" >&2
    exit 1
fi

info=$(modinfo "$work/uoledmod.ko")
fail=0
expect() {
    if ! grep -qxF -- "$1" <<<"$(sed -E 's/^([a-z_]+): +/\1: /' <<<"$info")"; then
        echo "modinfo lacks: $1" >&2
        fail=1
    fi
}
expect "description: uOLED Driver"
expect "version: 2.5.4"
expect "license: GPL"
expect "alias: i2c:mxc_uoled_i2c"
expect "alias: of:N*T*Czelko,imx-uoled-i2c"
expect "alias: of:N*T*Cimx6-uoled-i2c"
expect "depends: oled_vm_host"
expect "parm: offset_input:Starting offset based on oled addres: format <addr>,<x>,<y> (array of int)"
expect "parm: blank_en:En/Disable blanking as a whole is enabled (int)"
[ "$(grep -c '^parm:' <<<"$info")" = 8 ] || { echo "expected 8 parameters" >&2; fail=1; }
# oled_vm comes from the display driver, never from the module itself
# (grep -q on a pipe would end nm early, and pipefail would count its SIGPIPE)
syms=$("$nm" "$work/uoledmod.ko")
grep -qE '^ +U oled_vm$' <<<"$syms" || { echo "oled_vm not imported" >&2; fail=1; }
exit $fail
