#!/bin/sh
# The boot test's scenario, run inside the emulated sight by sight-check.service from the disk
# that scripts/sight-boot attaches. One line per check on the console: "sight-check: ok: ..."
# or "sight-check: FAIL: ..." (the journal follows a failure). The host boots twice:
#   sight.phase=1  boot, control, buttons, Redis events; then a recording whose power is cut
#   sight.phase=2  what the cut left; supervision; out of space; purge and reinstall
set -u
here=$(dirname "$0")
PANEL=/sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024
MODEL=/sys/module/uoled_fakebus/parameters
CONF=/etc/mrvdc.conf
VIDEO=/media/video
# The cut comes this long after the recording started; at most this much before it is lost.
CUT_AFTER_S=14
LOST_AT_MOST_S=2
phase=$(sed -n 's/.*sight\.phase=\([0-9]\).*/\1/p' /proc/cmdline)

say() { echo "sight-check: $*"; }
ok() { say "ok: $*"; }
fail() {
    say "FAIL: $*"
    journalctl -b --no-pager -o short-monotonic | tail -n 150
    say "failed in phase $phase: $*"
    systemctl poweroff --force
    exit 1
}
# check NAME COMMAND...: the command must succeed.
check() {
    name=$1
    shift
    if "$@"; then ok "$name"; else fail "$name"; fi
}
# equals NAME GOT EXPECTED
equals() {
    [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
    ok "$1"
}
# within SECONDS COMMAND...: waits for the command to succeed.
within() {
    left=$(($1 * 5))
    shift
    until "$@"; do
        left=$((left - 1))
        [ $left -gt 0 ] || return 1
        sleep 0.2
    done
}
ctl() { mrvdcctl --timeout 30 "$@"; }
main_pid() { systemctl show -p MainPID --value mrvdc.service; }
is_active() { [ "$(systemctl is-active mrvdc.service)" = active ]; }
answers() { ctl get_lum >/dev/null 2>&1; }
restarted_from() { is_active && [ "$(main_pid)" != "$1" ] && [ "$(main_pid)" != 0 ]; }

wait_for_boot() {
    systemctl is-system-running --wait >/dev/null 2>&1 || true
    check "mrvdc.service is active" is_active
}

# Warnings and errors of the sight's own parts: the daemon, its socket, the board and Redis,
# and kernel lines of the panel's modules. What the emulated board makes by design is listed:
# its modules are out of the kernel's tree, it has no accelerometer, and its panel comes with no
# device-tree identity, which the driver's probe warns about, as it does of the RGB-White steps.
expected_warnings='accelerometer|iio:device|taint|No id found for display|No offset data|RGB-White'
unexpected_warnings() {
    {
        journalctl -b -p warning -o cat --no-pager -u mrvdc.service -u mrvdc.socket \
            -u redis-server.service -u 'sight-*' -u 'mrvdc-board*'
        journalctl -b -k -p warning -o cat --no-pager | grep -Ei 'uoled|fakebus|oled_vm|hdmi'
    } | grep -Ev "$expected_warnings" || true
}

phase_boot() {
    wait_for_boot
    equals "the service reports readiness" "$(systemctl show -p Type --value mrvdc.service)" notify
    check "start lines are at priority info" \
        sh -c "journalctl -b -u mrvdc.service -p info..info -o cat | grep -q 'ver:3.0.0'"
    equals "no info line at warning or worse" \
        "$(journalctl -b -u mrvdc.service -p warning -o cat | grep -c '\[INFO\]')" 0
    equals "nothing at warning or worse" "$(unexpected_warnings)" ""
}

phase_control() {
    check "print_config" sh -c "mrvdcctl print_config | grep -q 'socket_file=/run/mrvdc.socket'"
    equals "get_lum" "$(ctl get_lum)" "$(sed -n 's/^luminance=//p' $CONF)"
    before=$(cat $MODEL/luminance)
    check "set_lum" ctl set_lum 2
    equals "the module's attr_luminance" "$(cat $PANEL/attr_luminance)" 185
    check "the panel received the luminance command" \
        sh -c "[ \"\$(cat $MODEL/luminance)\" != '$before' ]"
}

phase_buttons() {
    zoom=$(ctl get_zoom)
    lum=$(ctl get_lum)
    echo zoom >/run/sight-buttons
    check "a zoom press changes the zoom" within 10 sh -c "[ \"\$(mrvdcctl get_zoom)\" != '$zoom' ]"
    check "the zoom press reached the camera core" grep -q '^mrvac zoom ' /var/log/mrvac.log
    echo pol >/run/sight-buttons
    check "a pol press changes the luminance" \
        within 10 sh -c "[ \"\$(mrvdcctl get_lum)\" = '$(((lum + 1) % 4))' ]"
}

# subscribe FILE: a Redis subscriber to both channels, writing what it receives to FILE.
subscribe() {
    redis-cli -s /run/redis.sock --csv subscribe MRVDC.VIDEO.DONE MRVDC.STORAGE.DONE >"$1" &
    subscriber=$!
    within 10 grep -q 'MRVDC.STORAGE.DONE' "$1"
}

phase_lost_picture() {
    subscribe /tmp/events || fail "a subscriber on the socket of Debian's Redis"
    check "disable_kbd connects the daemon to Redis" ctl disable_kbd
    check "kill_pipe 1" ctl kill_pipe 1
    check "a subscriber receives MRVDC.VIDEO.DONE" \
        within 20 grep -q 'No input video signal' /tmp/events
    kill "$subscriber"
    ctl enable_kbd >/dev/null
}

phase_recording_cut() {
    sed -i --follow-symlinks 's/^record_max_len=.*/record_max_len=10/' $CONF
    systemctl restart mrvdc.service
    check "restarted with 10 s fragments" is_active
    rm -rf $VIDEO
    sync
    check "enable_record" ctl enable_record 1
    started=$(date +%s)
    sleep 5
    check "a setting changed during the recording" ctl set_lum 3
    while [ $(($(date +%s) - started)) -lt $CUT_AFTER_S ]; do sleep 0.2; done
    say "cutting the power"
    # An immediate reboot, without sync: what was not on the disk is lost.
    echo b >/proc/sysrq-trigger
    sleep 30
    fail "the power cut did not happen"
}

# media_ms FILE: the file's duration in milliseconds, when it plays with picture and sound.
media_ms() {
    info=$(gst-discoverer-1.0 -v "$1" 2>&1) || return 1
    echo "$info" | grep -q 'video #' || return 1
    echo "$info" | grep -q 'audio #' || return 1
    echo "$info" | sed -n 's/^ *Duration: \([0-9:.]*\)$/\1/p' | head -n 1 |
        awk -F: 'NF == 3 { printf "%d\n", ($1 * 3600 + $2 * 60 + $3) * 1000 }' | grep .
}

phase_after_cut() {
    wait_for_boot
    total=0
    for fragment in $VIDEO/video_*.mp4; do
        [ -e "$fragment" ] || fail "no fragment left by the cut recording"
        ms=$(media_ms "$fragment") || fail "$fragment does not play with its tracks"
        ok "$(basename "$fragment") plays: $ms ms"
        total=$((total + ms))
    done
    check "at most $LOST_AT_MOST_S s lost before the cut ($total ms of $CUT_AFTER_S s)" \
        [ $total -ge $(((CUT_AFTER_S - LOST_AT_MOST_S) * 1000)) ]
    equals "the configuration is complete" "$(grep -c '^[a-z_0-9]*=' $CONF)" 34
    equals "it holds the setting changed before the cut" "$(sed -n 's/^luminance=//p' $CONF)" 3
}

phase_supervision() {
    started=$(date +%s)
    systemctl stop mrvdc.service
    took=$(($(date +%s) - started))
    limit=$(systemctl show -p TimeoutStopUSec --value mrvdc.service)
    equals "stopped with status 0" "$(systemctl show -p ExecMainStatus --value mrvdc.service)" 0
    check "stopped within the unit's time ($took s, limit $limit)" [ $took -lt 30 ]
    check "the stop ends with Goodbye" \
        sh -c "journalctl -b -u mrvdc.service -o cat | tail -n 5 | grep -q 'Goodbye'"
    systemctl start mrvdc.service
    pid=$(main_pid)
    kill -KILL "$pid"
    check "a killed daemon is restarted" within 30 restarted_from "$pid"
    check "and answers" within 30 answers
    pid=$(main_pid)
    kill -STOP "$pid"
    watchdog=$(systemctl show -p WatchdogUSec --value mrvdc.service)
    check "a frozen main loop is restarted by the watchdog ($watchdog)" \
        within 90 restarted_from "$pid"
    check "and answers" within 30 answers
}

phase_out_of_space() {
    mount -t tmpfs -o size=150m tmpfs /media
    systemctl restart mrvdc.service
    subscribe /tmp/events || fail "a subscriber on the socket of Debian's Redis"
    ctl disable_kbd >/dev/null
    check "recording on a small media file system" ctl enable_record 1
    fallocate -l 60m /media/filler
    check "a subscriber receives MRVDC.STORAGE.DONE" \
        within 20 grep -q 'Out of space!' /tmp/events
    kill "$subscriber"
    systemctl stop mrvdc.service
    umount /media
}

# Every file the three packages hold, the configuration made from the defaults, and what DKMS
# built.
package_files() {
    dpkg -L mrvdc uoledmod-dkms mrvdc-board-emu | while read -r path; do
        [ -d "$path" ] || echo "$path"
    done
    echo $CONF
    find /lib/modules -name 'uoledmod.ko*'
    echo /var/lib/dkms/uoledmod
}

phase_packages() {
    package_files >/tmp/package-files
    check "the three packages purge" dpkg --purge mrvdc mrvdc-board-emu uoledmod-dkms
    left=$(while read -r path; do [ -e "$path" ] && echo "$path"; done </tmp/package-files)
    equals "no file of theirs is left" "$left" ""
    check "they install again" sh -c "dpkg -i $here/debs/*.deb >/tmp/reinstall.log 2>&1"
    check "the sight works again" within 60 answers
    check "with its panel" test -w $PANEL/attr_luminance
}

case $phase in
1)
    phase_boot
    phase_control
    phase_buttons
    phase_lost_picture
    phase_recording_cut
    ;;
2)
    phase_after_cut
    phase_supervision
    phase_out_of_space
    phase_packages
    say "all checks passed"
    systemctl poweroff
    ;;
*) fail "no sight.phase on the kernel command line" ;;
esac
