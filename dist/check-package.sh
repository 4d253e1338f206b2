#!/usr/bin/env bash
# Installs the mrvdc package with dpkg into a scratch Debian root and follows it through its
# life: install (units enabled, group made, settings made from the defaults, the installed
# service's exposure), an upgrade over settings the user changed, remove, purge (nothing of
# ours left), the upgrade from the packages that shipped /etc/mrvdc.conf as a conffile, and an
# install and purge as image builders do them, without a chroot (DPKG_ROOT). dpkg gets no
# input, so any question it asks fails the check.
#
# Never on this machine's own root: the scratch root is Debian 12's essential set plus what
# the maintainer scripts run, made once by mmdebstrap and kept outside the tree
# (MRVDC_PACKAGE_CHECK_ROOT, default /var/cache/mrvdc/package-check-root.tar); it is made again
# only when its package list changes. The package's run-time libraries are not in it: dpkg
# ignores those dependencies, and the programs run here, from the unpacked package.
#   check-package.sh MRVDC_DEB WORK_DIR   (as root: dpkg runs in the root through chroot)
set -euo pipefail
deb=$(realpath "$1")
me=check-package
source "$(dirname "${BASH_SOURCE[0]}")/check-common.sh"

cache=${MRVDC_PACKAGE_CHECK_ROOT:-/var/cache/mrvdc/package-check-root.tar}
# deb-systemd-helper enables the units; systemd-sysusers makes the group.
root_packages=(init-system-helpers systemd-standalone-sysusers)

make_cached_root() {
    local wanted stamp=$cache.packages
    wanted=$(printf '%s\n' "${root_packages[@]}" | sort)
    if [ -f "$cache" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
        return
    fi
    command -v mmdebstrap >/dev/null || { echo "$me: run scripts/deps" >&2; exit 1; }
    echo "$me: making the scratch root $cache" >&2
    mkdir -p "$(dirname "$cache")"
    mmdebstrap --quiet --variant=essential --include="$(IFS=,; echo "${root_packages[*]}")" \
        bookworm "${cache%.tar}.new.tar" >&2
    mv "${cache%.tar}.new.tar" "$cache"
    printf '%s\n' "$wanted" >"$stamp"
}

# Paths inside the root are only ever followed from inside it: /etc/mrvdc.conf is an absolute
# link, which from out here would name this machine's own file.
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }

# Runs dpkg ARGS... in the root without input; LOG keeps its output.
dpkg_step() {
    local log=$work/$1.log
    shift
    if ! in_root dpkg --force-depends "$@" </dev/null >"$log" 2>&1; then
        problem "dpkg $* failed:
$(tail -n 5 "$log")"
        return 1
    fi
}

# The files in the root (or in DIR), but those dpkg, its log and systemd-sysusers keep.
root_files() {
    (cd "${1:-$root}" && find . -xdev | sort |
        grep -v -e '^\./var/lib/dpkg' -e '^\./var/log' -e '^\./etc/\(group\|gshadow\|passwd\|shadow\)' \
            -e '^\./etc/\.pwd\.lock$')
}

# The root holds what it held before the package came: STEP left nothing.
check_purged() {
    local left
    left=$(diff <(echo "$before") <(root_files) | grep '^>' || true)
    [ -z "$left" ] || problem "$1 left:
$left"
}

# A copy of the package at VERSION, for the upgrade paths; EDIT runs in its unpacked tree.
repack() {
    local out=$1 version=$2 edit=$3 tree=$work/repack
    rm -rf "$tree"
    dpkg-deb -R "$deb" "$tree"
    sed -i "s/^Version: .*/Version: $version/" "$tree/DEBIAN/control"
    (cd "$tree" && eval "$edit")
    dpkg-deb -Zgzip -b "$tree" "$out" >/dev/null
    rm -rf "$tree"
}

# What the user does to the settings, from inside the root: a changed value, and the temporary
# file a write-back cut short leaves next to the settings.
change_settings() {
    local leftover_folder=$1 copy=$2
    in_root sed -i --follow-symlinks 's/^luminance=.*/luminance=3/' /etc/mrvdc.conf
    in_root touch "$leftover_folder/mrvdc.conf.Ab12Cd"
    in_root cat /etc/mrvdc.conf >"$copy"
}

scratch "$2"
dpkg-deb -x "$deb" "$work/unpacked"
# grep reads all of the help: one that stopped at the match could end the program by SIGPIPE.
"$work/unpacked/usr/bin/mrvdc" --help | grep '^Mirova Device controller ver:3.0.0' >/dev/null ||
    problem "mrvdc --help does not run"
"$work/unpacked/usr/bin/mrvdcctl" --help | grep '^Usage: mrvdcctl' >/dev/null ||
    problem "mrvdcctl --help does not run"

make_cached_root
root=$work/root
mkdir "$root"
tar -xf "$cache" -C "$root"
version=$(dpkg-deb -f "$deb" Version)
mkdir -p "$root/tmp/debs"
cp "$deb" "$root/tmp/debs/current.deb"
repack "$root/tmp/debs/newer.deb" "$version+1" \
    "sed -i 's/^record_max_len=.*/record_max_len=600/' usr/share/mrvdc/mrvdc.conf"
# Earlier packages: the defaults were the conffile /etc/mrvdc.conf, and their maintainer
# scripts only enabled the unit.
repack "$root/tmp/debs/conffile.deb" "$version~conffile" \
    "install -D -m 0644 usr/share/mrvdc/mrvdc.conf etc/mrvdc.conf &&
     echo /etc/mrvdc.conf >>DEBIAN/conffiles && rm -f DEBIAN/postinst DEBIAN/prerm DEBIAN/postrm"
unit=$work/unpacked/lib/systemd/system/mrvdc.service
before=$(root_files)

if dpkg_step install -i /tmp/debs/current.deb; then
    check_files "$root" .gz
    [ -s "$root/etc/no-video-input.png" ] || problem "no etc/no-video-input.png"
    check_units "$root/lib/systemd/system" "$root" "$root/usr/lib/tmpfiles.d/mrvdc.conf" \
        "$root/usr/lib/sysusers.d/mrvdc.conf"
    grep -q '^mrvdc:' "$root/etc/group" || problem "no group mrvdc"
    for link in multi-user.target.wants/mrvdc.service sockets.target.wants/mrvdc.socket; do
        [ -L "$root/etc/systemd/system/$link" ] || problem "$link is not enabled"
    done
    check_settings "$root" "$dist/mrvdc.conf" "$unit"
fi

change_settings /var/lib/mrvdc "$work/changed.conf"
if dpkg_step upgrade -i /tmp/debs/newer.deb; then
    check_settings "$root" "$work/changed.conf" "$unit"
    grep -qx record_max_len=600 "$root/usr/share/mrvdc/mrvdc.conf" ||
        problem "the upgrade did not bring its defaults"
fi
if dpkg_step remove -r mrvdc; then
    [ ! -e "$root/usr/bin/mrvdc" ] || problem "remove left usr/bin/mrvdc"
    check_settings "$root" "$work/changed.conf" "$unit"
fi
dpkg_step purge -P mrvdc && check_purged purge

dpkg_step conffile -i /tmp/debs/conffile.deb
change_settings /etc "$work/changed-in-etc.conf"
dpkg_step from-conffile -i /tmp/debs/current.deb &&
    check_settings "$root" "$work/changed-in-etc.conf" "$unit"
# dpkg keeps the earlier conffile as obsolete: the next upgrade must not ask about it either.
dpkg_step after-conffile -i /tmp/debs/newer.deb &&
    check_settings "$root" "$work/changed-in-etc.conf" "$unit"
dpkg_step purge-again -P mrvdc && check_purged "purge after the conffile's package"

# Image builders install without a chroot (dpkg --root, DPKG_ROOT): the maintainer scripts then
# run outside the system they make, here in the scratch root around /target, which they must
# leave alone.
target=$root/target
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates" "$target/etc"
touch "$target/var/lib/dpkg/status"
around=$(root_files | grep -v '^\./target')
if dpkg_step chrootless --root=/target --force-script-chrootless -i /tmp/debs/current.deb; then
    check_settings "$target" "$dist/mrvdc.conf" "$unit"
    grep -q '^mrvdc:' "$target/etc/group" || problem "no group mrvdc in /target"
fi
dpkg_step chrootless-purge --root=/target --force-script-chrootless -P mrvdc &&
    [ -z "$(root_files "$target" | grep mrvdc)" ] || problem "purge left mrvdc's files in /target"
[ "$(root_files | grep -v '^\./target')" = "$around" ] ||
    problem "installing into /target changed the root around it"

[ $fail -eq 0 ] && echo "check-package: $(basename "$deb") installed, upgraded, removed, purged"
exit $fail
