#!/usr/bin/env bash
# Installs a build tree into scratch roots, as the sight's image build does, and checks what
# lands where: programs, configuration, picture, manuals and a systemd unit that
# systemd-analyze accepts.
#   check-install.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
dist=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fail=0
problem() { echo "check-install: $*" >&2; fail=1; }

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
DESTDIR="$work/usr-root" cmake --install "$build" --prefix /usr >/dev/null
root=$work/usr-root

for program in usr/bin/mrvdc usr/bin/mrvdcctl; do
    [ -x "$root/$program" ] || problem "no program $program"
done
cmp -s "$root/etc/mrvdc.conf" "$dist/mrvdc.conf" || problem "etc/mrvdc.conf is not the default one"
cmp -s "$root/etc/no-video-input.png" "$dist/../platform/data/no-video-input.png" ||
    problem "etc/no-video-input.png missing"
for page in man1/mrvdcctl.1 man5/mrvdc.conf.5 man7/mrvdc-protocol.7 man8/mrvdc.8; do
    [ -s "$root/usr/share/man/$page" ] || problem "no manual $page"
done

unit=$(find "$root" -name mrvdc.service)
if [ -z "$unit" ]; then
    problem "no mrvdc.service"
else
    # The daemon in the foreground: no -d, so systemd supervises the process itself.
    grep -qx 'ExecStart=/usr/bin/mrvdc' "$unit" || problem "ExecStart is not /usr/bin/mrvdc"
    for line in Wants=redis-server.service After=redis-server.service Restart=on-failure \
        KillSignal=SIGTERM; do
        grep -qx "$line" "$unit" || problem "unit lacks $line"
    done
    # Verified with its daemon in the scratch root: systemd-analyze also checks that the
    # program exists. (The manuals it names were checked above.)
    mkdir -p "$work/verify"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/verify/mrvdc.service"
    if ! out=$(systemd-analyze verify --man=no "$work/verify/mrvdc.service" 2>&1) ||
        [ -n "$out" ]; then
        problem "systemd-analyze verify: $out"
    fi
fi

# Another prefix moves the programs, and the unit follows them.
DESTDIR="$work/opt-root" cmake --install "$build" --prefix /opt/mrvdc >/dev/null
[ -x "$work/opt-root/opt/mrvdc/bin/mrvdc" ] || problem "prefix /opt/mrvdc not honoured"
grep -qx 'ExecStart=/opt/mrvdc/bin/mrvdc' "$(find "$work/opt-root" -name mrvdc.service)" ||
    problem "the unit does not follow the prefix"
[ -f "$work/opt-root/etc/mrvdc.conf" ] || problem "the configuration is not at /etc/mrvdc.conf"

[ $fail -eq 0 ] && echo "check-install: install tree complete"
exit $fail
