#!/usr/bin/env bash
# Formats each manual page as man(1) does and fails on any warning of groff or man.
#   check-manuals.sh PAGE...
set -euo pipefail
fail=0
for page in "$@"; do
    [ -s "$page" ] || { echo "$page: missing or empty" >&2; fail=1; continue; }
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        printf '%s:\n%s\n' "$page" "$warnings" >&2
        fail=1
    fi
    # Every page names itself and lists what it relates to.
    for heading in NAME "SEE ALSO"; do
        grep -q "^\.SH \"\?$heading\"\?\$" "$page" || { echo "$page: no $heading section" >&2; fail=1; }
    done
done
exit $fail
