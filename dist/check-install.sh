#!/usr/bin/env bash
# Installs a build tree into scratch roots, as the sight's image build does, and checks what
# lands where: programs, configuration, picture, manuals and a systemd unit that
# systemd-analyze accepts.
#   check-install.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
me=check-install
source "$(dirname "${BASH_SOURCE[0]}")/check-common.sh"

scratch "$2"
DESTDIR="$work/usr-root" cmake --install "$build" --prefix /usr >/dev/null
root=$work/usr-root

for program in usr/bin/mrvdc usr/bin/mrvdcctl; do
    [ -x "$root/$program" ] || problem "no program $program"
done
check_files "$root" ""
cmp -s "$root/etc/no-video-input.png" "$dist/../platform/data/no-video-input.png" ||
    problem "etc/no-video-input.png missing"

unit=$(find "$root" -name mrvdc.service)
if [ -z "$unit" ]; then
    problem "no mrvdc.service"
else
    for line in Wants=redis-server.service After=redis-server.service Restart=on-failure \
        KillSignal=SIGTERM; do
        grep -qx "$line" "$unit" || problem "unit lacks $line"
    done
    check_unit "$unit" "$root"
fi

# Another prefix moves the programs, and the unit follows them.
DESTDIR="$work/opt-root" cmake --install "$build" --prefix /opt/mrvdc >/dev/null
[ -x "$work/opt-root/opt/mrvdc/bin/mrvdc" ] || problem "prefix /opt/mrvdc not honoured"
grep -qx 'ExecStart=/opt/mrvdc/bin/mrvdc' "$(find "$work/opt-root" -name mrvdc.service)" ||
    problem "the unit does not follow the prefix"
[ -f "$work/opt-root/etc/mrvdc.conf" ] || problem "the configuration is not at /etc/mrvdc.conf"

[ $fail -eq 0 ] && echo "check-install: install tree complete"
exit $fail
