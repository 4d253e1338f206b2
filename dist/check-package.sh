#!/usr/bin/env bash
# Unpacks the mrvdc package into a scratch root and checks it as the sight's image would hold
# it: programs that run, the default configuration kept as a conffile, the picture, the
# manuals, and a unit that systemd-analyze accepts and that the package enables.
#   check-package.sh MRVDC_DEB WORK_DIR
set -euo pipefail
deb=$1
work=$2
dist=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fail=0
problem() { echo "check-package: $*" >&2; fail=1; }

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
mkdir "$work/control"
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
root=$work/root

"$root/usr/bin/mrvdc" --help | grep -q '^Mirova Device controller ver:3.0.0' ||
    problem "mrvdc --help does not run"
"$root/usr/bin/mrvdcctl" --help | grep -q '^Usage: mrvdcctl' || problem "mrvdcctl --help does not run"
cmp -s "$root/etc/mrvdc.conf" "$dist/mrvdc.conf" || problem "etc/mrvdc.conf is not the default one"
grep -qx /etc/mrvdc.conf "$work/control/conffiles" || problem "etc/mrvdc.conf is not a conffile"
[ -s "$root/etc/no-video-input.png" ] || problem "no etc/no-video-input.png"
for page in man1/mrvdcctl.1 man5/mrvdc.conf.5 man7/mrvdc-protocol.7 man8/mrvdc.8; do
    [ -s "$root/usr/share/man/$page.gz" ] || problem "no manual $page"
done

unit=$root/lib/systemd/system/mrvdc.service
if [ -f "$unit" ]; then
    grep -qx 'ExecStart=/usr/bin/mrvdc' "$unit" || problem "ExecStart is not /usr/bin/mrvdc"
    mkdir -p "$work/verify"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/verify/mrvdc.service"
    out=$(systemd-analyze verify --man=no "$work/verify/mrvdc.service" 2>&1) || true
    [ -z "$out" ] || problem "systemd-analyze verify: $out"
    grep -q "deb-systemd-helper enable 'mrvdc.service'" "$work/control/postinst" ||
        problem "the package does not enable mrvdc.service"
else
    problem "no lib/systemd/system/mrvdc.service"
fi

[ $fail -eq 0 ] && echo "check-package: $(basename "$deb") complete"
exit $fail
