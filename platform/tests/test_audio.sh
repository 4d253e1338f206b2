#!/usr/bin/env bash
# Audio capture without a sound card, run under scripts/host-run: the mixer command the daemon
# runs returns, and the daemon's audio branch from "hw:0,0" to MP3 captures at real-time pace:
# 10 s of capture give about 10 s of audio.
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0 failed=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what"
    fi
}
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

# The mixer setting: its status is ignored, but it must not hang.
timeout 10 amixer -c 0 set 'DMic Rate' '128x' >/dev/null 2>&1
check "amixer returns" test $? -ne 124

# The daemon's audio branch, stopped with an end of stream after 10 s of wall-clock time.
# Paced capture has recorded about 10 s of audio by then; an unpaced source would have
# recorded far more, a source that drops samples less.
gst-inspect-1.0 alsasrc >/dev/null 2>&1 # brings the plug-in registry up to date beforehand
start=$(date +%s.%N)
gst-launch-1.0 -e -q alsasrc device=hw:0,0 \
    ! audioamplify amplification=50.0 ! imxmp3audioenc bitrate=96 ! mpegaudioparse \
    ! filesink location="$work/capture.mp3" sync=false async=false &
capture=$!
sleep 10
kill -INT "$capture" # one interrupt: gst-launch sends the end of stream and finishes the file
for _ in $(seq 50); do
    kill -0 "$capture" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$capture" 2>/dev/null && kill -KILL "$capture"
wait "$capture"
status=$?
end=$(date +%s.%N)
elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
check "capture ends cleanly at the end of stream (status $status)" test "$status" -eq 0
check "stopped after about 10 s (took $elapsed s)" within "$elapsed" 9.9 12

info=$(gst-discoverer-1.0 "$work/capture.mp3" 2>&1)
duration=$(sed -n 's/^ *Duration: \([0-9]*\):\([0-9]*\):\([0-9.]*\)$/\1 \2 \3/p' <<<"$info" |
    awk '{ printf "%.2f", $1 * 3600 + $2 * 60 + $3 }')
echo "file duration ${duration:-unknown} s"
check "the file is MP3" grep -q 'MPEG-1 Layer 3' <<<"$info"
check "10 s of capture hold about 10 s of audio (${duration:-unknown} s)" \
    within "${duration:-0}" 9.0 10.2

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
