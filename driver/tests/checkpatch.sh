#!/usr/bin/env bash
# checkpatch.pl --strict over the module, the companion, the fake bus and the
# panel model; fails on any error (warnings and checks are printed).
#
#   checkpatch.sh DRIVER_SOURCE_DIR
set -euo pipefail

src=$(cd "$1" && pwd)
. "$src/qemu/debian-kernel.env"
cp=$UOLED_KERNEL_DIR/checkpatch/checkpatch.pl
[ -e "$cp" ] || { echo "missing $cp: run scripts/deps" >&2; exit 1; }

cd "$src"
set +e
out=$(perl "$cp" --strict --no-tree --terse --show-types -f \
    ./*.c ./*.h sim/*.c sim/*.h qemu/*.c 2>&1)
set -e
echo "$out"
if grep -q ': ERROR:' <<<"$out"; then
    echo "checkpatch reported errors" >&2
    exit 1
fi
