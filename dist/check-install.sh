#!/usr/bin/env bash
# Installs a build tree into scratch roots, as the sight's image build does, and checks what
# lands where: programs, default settings, picture, manuals, and systemd units that
# systemd-analyze accepts; then lets systemd-sysusers and systemd-tmpfiles make in the root
# what the sight's first boot makes (the socket's group, the settings and their link).
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

unit=$root/usr/lib/systemd/system/mrvdc.service
if [ -f "$unit" ]; then
    for line in Wants=redis-server.service After=redis-server.service Restart=on-failure \
        KillSignal=SIGTERM; do
        grep -qx "$line" "$unit" || problem "unit lacks $line"
    done
fi
check_units "$(dirname "$unit")" "$root" "$root/usr/lib/tmpfiles.d/mrvdc.conf" \
    "$root/usr/lib/sysusers.d/mrvdc.conf"

systemd-sysusers --root="$root" >/dev/null 2>&1 || problem "systemd-sysusers failed"
grep -q '^mrvdc:x:[0-9]*:$' "$root/etc/group" 2>/dev/null || problem "no group mrvdc made"
systemd-tmpfiles --root="$root" --create >/dev/null 2>&1 || problem "systemd-tmpfiles failed"
[ -f "$unit" ] && check_settings "$root" "$dist/mrvdc.conf" "$unit"

# Another prefix moves the programs and the defaults, and the unit and the tmpfiles.d entry
# follow them.
root=$work/opt-root
DESTDIR="$root" cmake --install "$build" --prefix /opt/mrvdc >/dev/null
[ -x "$root/opt/mrvdc/bin/mrvdc" ] || problem "prefix /opt/mrvdc not honoured"
grep -qx 'ExecStart=/opt/mrvdc/bin/mrvdc' "$root/opt/mrvdc/lib/systemd/system/mrvdc.service" ||
    problem "the unit does not follow the prefix"
[ -f "$root/opt/mrvdc/share/mrvdc/mrvdc.conf" ] &&
    grep -q ' /opt/mrvdc/share/mrvdc/mrvdc.conf$' "$root/opt/mrvdc/lib/tmpfiles.d/mrvdc.conf" ||
    problem "the settings are not made from the defaults under the prefix"
[ -f "$root/etc/no-video-input.png" ] || problem "the picture is not at /etc/no-video-input.png"

[ $fail -eq 0 ] && echo "check-install: install tree complete"
exit $fail
