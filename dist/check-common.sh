# The checks that an installed tree and an unpacked package share; sourced by check-install.sh
# and check-package.sh, after they set `me` to their name.
dist=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fail=0
problem() { echo "$me: $*" >&2; fail=1; }

# Empties the scratch folder WORK and sets `work` to its absolute path.
scratch() {
    rm -rf "$1"
    mkdir -p "$1"
    work=$(cd "$1" && pwd)
}

# The default configuration and the four manuals (named with SUFFIX, ".gz" when packed).
check_files() {
    local root=$1 suffix=$2 page
    cmp -s "$root/etc/mrvdc.conf" "$dist/mrvdc.conf" || problem "etc/mrvdc.conf is not the default one"
    for page in man1/mrvdcctl.1 man5/mrvdc.conf.5 man7/mrvdc-protocol.7 man8/mrvdc.8; do
        [ -s "$root/usr/share/man/$page$suffix" ] || problem "no manual $page"
    done
}

# The unit starts the daemon in the foreground (no -d, so systemd supervises the process itself),
# and systemd-analyze accepts it with its daemon in the scratch root (it checks the program).
check_unit() {
    local unit=$1 root=$2 out
    grep -qx 'ExecStart=/usr/bin/mrvdc' "$unit" || problem "ExecStart is not /usr/bin/mrvdc"
    mkdir -p "$work/verify"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/verify/mrvdc.service"
    if ! out=$(systemd-analyze verify --man=no "$work/verify/mrvdc.service" 2>&1) ||
        [ -n "$out" ]; then
        problem "systemd-analyze verify: $out"
    fi
}
