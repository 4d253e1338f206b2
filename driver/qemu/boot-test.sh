#!/usr/bin/env bash
# Boot test of uoledmod in a real kernel: builds the module, oled_vm_host, the
# fake bus and the HDMI cable node against the pinned Debian headers, packs
# them with busybox and init.sh into an initramfs, boots the pinned Debian
# kernel under qemu and passes only when init.sh reports success and the
# console shows no Oops, BUG, WARNING, hung task or lock-order report.
#
#   boot-test.sh DRIVER_SOURCE_DIR WORK_DIR
set -euo pipefail

src=$(cd "$1" && pwd)
work=$2
. "$src/qemu/debian-kernel.env"
headers=/usr/src/linux-headers-$UOLED_KERNEL_ABI
vmlinuz=$UOLED_KERNEL_DIR/vmlinuz-$UOLED_KERNEL_ABI

for need in "$headers/Makefile" "$vmlinuz" /bin/busybox; do
    [ -e "$need" ] || { echo "missing $need: run scripts/deps" >&2; exit 1; }
done
for tool in qemu-system-x86_64 cpio gzip make; do
    command -v $tool >/dev/null || { echo "missing $tool: run scripts/deps" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work/stage" "$work/root/bin" "$work/root/lib/modules"
cp "$src"/*.c "$src"/*.h "$src/Makefile" "$work/stage/"
cp -r "$src/sim" "$src/qemu" "$work/stage/"
make -s -C "$headers" M="$work/stage" UOLED_HOST_VM=1 UOLED_FAKEBUS=1 \
    KCFLAGS=-Werror modules >"$work/build.log" 2>&1 || {
    cat "$work/build.log"; echo "module build failed" >&2; exit 1; }

cp "$work/stage"/{uoledmod,oled_vm_host,uoled_fakebus,fake_hdmi}.ko "$work/root/lib/modules/"
cp /bin/busybox "$work/root/bin/busybox"
cp "$src/qemu/init.sh" "$work/root/init"
chmod +x "$work/root/init"
(cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

console=$work/console.log
start=$(date +%s)
set +e
timeout 300 qemu-system-x86_64 -machine pc -cpu max -m 256M -smp 2 \
    -nographic -no-reboot -monitor none \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 rdinit=/init panic=-1 oops=panic quiet" \
    </dev/null >"$console" 2>&1
status=$?
set -e
echo "qemu exited with $status after $(( $(date +%s) - start )) s"

grep 'uoled-qemu: ' "$console" || true
bad=$(grep -E 'Oops|BUG|WARNING|blocked for more than|possible (circular|recursive) locking' \
    "$console" || true)
if [ -n "$bad" ]; then
    echo "kernel reported problems:"; echo "$bad"
    echo "--- console"; cat "$console"
    exit 1
fi
if ! grep -q '^uoled-qemu: all checks passed' "$console"; then
    echo "no pass line"; echo "--- console"; cat "$console"
    exit 1
fi
echo "boot test passed"
