#!/usr/bin/env bash
# The mrvac stand-in: the command lines it takes, its log, the core state it keeps and the
# failure injection tests rely on.
# Usage: test_mrvac.sh PATH-TO-MRVAC
set -uo pipefail
mrvac=${1:?usage: test_mrvac.sh PATH-TO-MRVAC}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export MRVDC_SYSROOT=$root
log=$root/var/log/mrvac.log
state=$root/var/lib/mrvac/state
fail=$root/var/lib/mrvac/fail

passed=0 failed=0
check() { # check DESCRIPTION EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    fi
}
status_of() { "$mrvac" "$@" 2>/dev/null; echo $?; }
value_of() { sed -n "s/^$1=//p" "$state"; }

# --- the daemon's command lines: logged in order, exit 0, state kept --------------------------
for cmd in "zoom 2" "origin 435 355" "pip 4" "shutter-movement 0" "fast-nuc" "fast-nuc" \
    "origin -50 7" "zoom 4" "pip 0" "shutter-movement 1"; do
    # shellcheck disable=SC2086 # split into words as the shell does for the daemon
    check "mrvac $cmd exits 0" 0 "$(status_of $cmd)"
done
check "log holds every line in order" "mrvac zoom 2
mrvac origin 435 355
mrvac pip 4
mrvac shutter-movement 0
mrvac fast-nuc
mrvac fast-nuc
mrvac origin -50 7
mrvac zoom 4
mrvac pip 0
mrvac shutter-movement 1" "$(cat "$log")"
check "state" "zoom=4
pip=0
origin_x=-50
origin_y=7
shutter_movement=1
nuc_count=2" "$(cat "$state")"

# --- anything else: usage, exit 2, state untouched ---------------------------------------------
before=$(cat "$state")
for cmd in "" "zoom" "zoom 3" "zoom 2 2" "pip 1" "origin 1" "origin a 2" "origin 1 2 3" \
    "origin 1.5 2" "shutter-movement 2" "fast-nuc now" "focus 1"; do
    # shellcheck disable=SC2086
    check "mrvac $cmd is refused with 2" 2 "$(status_of $cmd)"
done
check "usage text names the commands" 1 "$("$mrvac" zoom 3 2>&1 | grep -c '^usage: mrvac fast-nuc')"
check "refused lines leave the state" "$before" "$(cat "$state")"

# --- failure injection --------------------------------------------------------------------------
printf '%s\n' "# zoom 2 always fails" "3 zoom 2" "" "5/2 pip *" "9 origin 1 *" "8 origin *" \
    "not a rule" >"$fail"
check "persistent rule" 3 "$(status_of zoom 2)"
check "persistent rule again" 3 "$(status_of zoom 2)"
check "failed command leaves zoom" 4 "$(value_of zoom)"
check "other commands unaffected" 0 "$(status_of zoom 1)"
check "counted rule, first" 5 "$(status_of pip 2)"
check "counted rule, second" 5 "$(status_of pip 4)"
check "counted rule used up" 0 "$(status_of pip 2)"
check "used-up rule removed, others kept" "# zoom 2 always fails
3 zoom 2

9 origin 1 *
8 origin *
not a rule" "$(cat "$fail")"
check "first matching rule decides" 9 "$(status_of origin 1 2)"
check "later rule for the rest" 8 "$(status_of origin 3 4)"
check "origin unchanged by failures" "-50 7" "$(value_of origin_x) $(value_of origin_y)"
check "failed lines are logged too" "mrvac origin 3 4" "$(tail -n 1 "$log")"
echo "1/1 *" >"$fail"
check "wildcard rule" 1 "$(status_of fast-nuc)"
check "nuc count unchanged" 2 "$(value_of nuc_count)"
check "wildcard rule used up" 0 "$(status_of fast-nuc)"
rm -f "$fail"

# --- concurrent runs lose nothing ---------------------------------------------------------------
lines_before=$(wc -l <"$log")
for _ in $(seq 20); do "$mrvac" fast-nuc & done
wait
check "every concurrent NUC counted" 23 "$(value_of nuc_count)"
check "every concurrent line logged" $((lines_before + 20)) "$(wc -l <"$log")"

# --- no sysroot ---------------------------------------------------------------------------------
check "without MRVDC_SYSROOT" 1 "$(env -u MRVDC_SYSROOT "$mrvac" zoom 2 2>/dev/null; echo $?)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
