#!/usr/bin/env bash
# The emulated board's package in a real kernel: unpacks the amd64 mrvdc-board-emu package,
# builds uoledmod against its oled_vm symbol versions as DKMS does, packs the package's files,
# busybox and board-init.sh into an initramfs, boots the pinned Debian kernel under qemu and
# passes only on board-init.sh's pass line with no Oops, BUG or WARNING on the console.
#
#   boot-check.sh WORK_DIR [DEB]
#
# Without DEB it builds the package first (platform/board/build-deb amd64).
# The kernel's own modules that the board loads (uinput, evdev, the sound card) come from the
# pinned kernel's image package, unpacked under $UOLED_KERNEL_DIR/modules-<abi> (or the folder
# named by MRVDC_KERNEL_MODULES); without them the check is skipped (status 77).
set -euo pipefail

work=$1
deb=${2:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
driver=$here/../../../driver
. "$driver/qemu/debian-kernel.env"
abi=$UOLED_KERNEL_ABI
headers=/usr/src/linux-headers-$abi
vmlinuz=$UOLED_KERNEL_DIR/vmlinuz-$abi
kernel_modules=${MRVDC_KERNEL_MODULES:-$UOLED_KERNEL_DIR/modules-$abi}

for need in "$headers/Makefile" "$vmlinuz" /bin/busybox; do
    [ -e "$need" ] || { echo "missing $need: run scripts/deps" >&2; exit 1; }
done
if [ ! -d "$kernel_modules" ]; then
    echo "skipped: no modules of the kernel's image in $kernel_modules" >&2
    exit 77
fi

rm -rf "$work"
mkdir -p "$work"
[ -n "$deb" ] || deb=$("$here/../build-deb" amd64 "$work/deb")
root=$work/root
dpkg-deb -x "$deb" "$root"
mods=$root/lib/modules/$abi

# uoledmod as the image's DKMS builds it: alone, with the package's oled_vm.symvers.
mkdir -p "$work/dkms" "$mods/updates/dkms" "$mods/kernel"
cp "$driver"/*.c "$driver"/*.h "$driver/Makefile" "$work/dkms/"
make -s -C "$headers" M="$work/dkms" KBUILD_EXTRA_SYMBOLS="$mods/updates/oled_vm.symvers" \
    modules >"$work/dkms.log" 2>&1 || { cat "$work/dkms.log"; exit 1; }
cp "$work/dkms/uoledmod.ko" "$mods/updates/dkms/"

for module in evdev uinput soundcore snd snd-timer snd-pcm snd-dummy; do
    found=$(find "$kernel_modules" -name "$module.ko" | head -n 1)
    [ -n "$found" ] || { echo "no $module.ko in $kernel_modules" >&2; exit 1; }
    cp "$found" "$mods/kernel/"
done

# sight-buttons with its libraries and loader
mkdir -p "$root/bin" "$root/lib64"
cp /bin/busybox "$root/bin/busybox"
ldd "$root/usr/bin/sight-buttons" | grep -o '/[^ ]*' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
cp "$here/board-init.sh" "$root/init"
chmod +x "$root/init"
# What the board's kernel shows: key bitmap of codes 28, 139, 158 and 172 in 64-bit words, the
# size of its input_event, its sound card.
echo "100040000800 0 10000000" >"$root/expected-keys"
echo 24 >"$root/event-size"
echo Dummy >"$root/expected-card"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

console=$work/console.log
set +e
timeout 300 qemu-system-x86_64 -machine pc -cpu max -m 256M -smp 2 \
    -nographic -no-reboot -monitor none \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 rdinit=/init panic=-1 oops=panic quiet" \
    </dev/null >"$console" 2>&1
set -e

grep -a 'board-check: ' "$console" || true
bad=$(grep -aE 'Oops|BUG|WARNING' "$console" || true)
if [ -n "$bad" ] || ! grep -aq '^board-check: all checks passed' "$console"; then
    echo "board check failed; console:"
    cat "$console"
    exit 1
fi
echo "board check passed"
