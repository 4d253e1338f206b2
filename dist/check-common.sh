# The checks that an installed tree and an installed package share; sourced by check-install.sh
# and check-package.sh, after they set `me` to their name.
dist=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fail=0
problem() { echo "$me: $*" >&2; fail=1; }

# Exposure that systemd-analyze security may rate the service at most, in its tenths (3.0).
max_exposure=30

# Empties the scratch folder WORK and sets `work` to its absolute path.
scratch() {
    rm -rf "$1"
    mkdir -p "$1"
    work=$(cd "$1" && pwd)
}

# The value of KEY in the default configuration.
default_setting() { sed -n "s|^$1=||p" "$dist/mrvdc.conf"; }

# The defaults where the settings are made from, and the four manuals (named with SUFFIX,
# ".gz" when packed).
check_files() {
    local root=$1 suffix=$2 page
    cmp -s "$root/usr/share/mrvdc/mrvdc.conf" "$dist/mrvdc.conf" ||
        problem "usr/share/mrvdc/mrvdc.conf is not the default one"
    for page in man1/mrvdcctl.1 man5/mrvdc.conf.5 man7/mrvdc-protocol.7 man8/mrvdc.8; do
        [ -s "$root/usr/share/man/$page$suffix" ] || problem "no manual $page"
    done
}

# The settings as the sight has them once tmpfiles.d or the package made them: /etc/mrvdc.conf
# links into the folder the unit lets the daemon write, and holds CONTENT (a file).
check_settings() {
    local root=$1 content=$2 unit=$3 state
    state=$(sed -n 's/^StateDirectory=//p' "$unit")
    [ "$(readlink "$root/etc/mrvdc.conf")" = "/var/lib/$state/mrvdc.conf" ] ||
        problem "etc/mrvdc.conf is not a link to var/lib/$state/mrvdc.conf"
    cmp -s "$root/var/lib/$state/mrvdc.conf" "$content" ||
        problem "var/lib/$state/mrvdc.conf does not hold $(basename "$content")"
}

# The units start the daemon in the foreground (no -d, so systemd supervises the process
# itself), agree with the defaults and the tmpfiles.d and sysusers.d entries on every path the
# confined daemon writes, are accepted by systemd-analyze with the daemon in ROOT (it checks the
# program), and keep the service's exposure within max_exposure.
check_units() {
    local unit_dir=$1 root=$2 tmpfiles=$3 sysusers=$4
    local service=$unit_dir/mrvdc.service socket=$unit_dir/mrvdc.socket out runtime marker
    [ -f "$service" ] && [ -f "$socket" ] || { problem "no mrvdc.service or mrvdc.socket"; return; }
    grep -qx 'ExecStart=/usr/bin/mrvdc' "$service" || problem "ExecStart is not /usr/bin/mrvdc"

    grep -qx "ListenStream=$(default_setting socket_file)" "$socket" ||
        problem "mrvdc.socket does not listen on the default socket_file"
    grep -qx "g $(sed -n 's/^SocketGroup=//p' "$socket") -" "$sysusers" ||
        problem "the socket's group is not made by sysusers.d"
    grep -q "^ReadWritePaths=-\?$(default_setting media_path | sed 's|/$||')\$" "$service" ||
        problem "media_path is not writable under the unit"
    runtime=$(sed -n 's/^RuntimeDirectory=//p' "$service")
    marker=$(default_setting video_ready_file | sed 's|^/var/run/|/run/|')
    grep -qx "L $marker - - - - /run/$runtime/$(basename "$marker")" "$tmpfiles" ||
        problem "video_ready_file is not linked into the runtime folder /run/$runtime"

    mkdir -p "$work/verify"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$service" >"$work/verify/mrvdc.service"
    cp "$socket" "$work/verify/"
    if ! out=$(systemd-analyze verify --man=no "$work/verify/mrvdc.service" \
        "$work/verify/mrvdc.socket" 2>&1) || [ -n "$out" ]; then
        problem "systemd-analyze verify: $out"
    fi
    # systemd 252 takes the threshold in tenths.
    if ! out=$(systemd-analyze security --offline=yes --threshold=$max_exposure \
        "$work/verify/mrvdc.service" 2>&1); then
        problem "mrvdc.service is exposed above $max_exposure/10:
$(grep -e '^✗' -e '^- ' -e 'Overall' <<<"$out" | sed 's/   */  /g')"
    fi
}
