#!/usr/bin/env bash
# Unpacks the mrvdc package into a scratch root and checks it as the sight's image would hold
# it: programs that run, the default configuration kept as a conffile, the picture, the
# manuals, and a unit that systemd-analyze accepts and that the package enables.
#   check-package.sh MRVDC_DEB WORK_DIR
set -euo pipefail
deb=$1
me=check-package
source "$(dirname "${BASH_SOURCE[0]}")/check-common.sh"

scratch "$2"
mkdir "$work/control"
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
root=$work/root

"$root/usr/bin/mrvdc" --help | grep -q '^Mirova Device controller ver:3.0.0' ||
    problem "mrvdc --help does not run"
"$root/usr/bin/mrvdcctl" --help | grep -q '^Usage: mrvdcctl' || problem "mrvdcctl --help does not run"
check_files "$root" .gz
grep -qx /etc/mrvdc.conf "$work/control/conffiles" || problem "etc/mrvdc.conf is not a conffile"
[ -s "$root/etc/no-video-input.png" ] || problem "no etc/no-video-input.png"

unit=$root/lib/systemd/system/mrvdc.service
if [ -f "$unit" ]; then
    check_unit "$unit" "$root"
    grep -q "deb-systemd-helper enable 'mrvdc.service'" "$work/control/postinst" ||
        problem "the package does not enable mrvdc.service"
else
    problem "no lib/systemd/system/mrvdc.service"
fi

[ $fail -eq 0 ] && echo "check-package: $(basename "$deb") complete"
exit $fail
