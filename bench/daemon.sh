# shellcheck shell=bash
# Shared by the benchmark runners (source it): the daemon in a fresh host sysroot.
#
#   bench_build [TARGET...]  builds the build tree (configuring it if needed): the targets given,
#                            or everything, as the daemon needs the host stand-ins it loads
#   bench_start_daemon [ARGS...]
#                            starts mrvdc through scripts/host-run in a new sysroot and waits
#                            until its control socket answers; sets MRVDC_SYSROOT, BENCH_SOCKET,
#                            BENCH_DAEMON_PID
#   bench_stop_daemon        SIGTERM, waits for the exit, removes the sysroot
#   bench_rss_kb PID         resident memory of a process (VmRSS, kB)
#
# Environment: MRVDC_BUILD_DIR (default build/), BENCH_START_TIMEOUT (seconds, default 120),
# BENCH_KEEP_SYSROOT=1 keeps the sysroot (and the daemon's log in var/log/) for a look after.

bench_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export MRVDC_BUILD_DIR=${MRVDC_BUILD_DIR:-$bench_repo/build}
bench_host_pid=
# Set by bench_start_daemon for the runners.
BENCH_SOCKET=
BENCH_DAEMON_PID=
bench_sysroot=

bench_build() {
    if [ ! -f "$MRVDC_BUILD_DIR/CMakeCache.txt" ]; then
        cmake -S "$bench_repo" -B "$MRVDC_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$MRVDC_BUILD_DIR" -j"$(nproc)" ${1:+--target "$@"} >/dev/null
}

bench_rss_kb() {
    if [ -n "$1" ] && [ -r "/proc/$1/status" ]; then
        awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
    else
        echo "?"
    fi
}

bench_start_daemon() {
    bench_sysroot=$(mktemp -d /tmp/mrvdc-bench.XXXXXX)
    export MRVDC_SYSROOT=$bench_sysroot
    BENCH_SOCKET=$MRVDC_SYSROOT/run/mrvdc.socket
    "$bench_repo/scripts/host-run" mrvdc -l "$MRVDC_SYSROOT/var/log/mrvdc.log" "$@" \
        >"$MRVDC_SYSROOT/host-run.out" 2>&1 &
    bench_host_pid=$!

    # The daemon starts its pipelines before it serves, so this can take a while.
    local deadline=$((SECONDS + ${BENCH_START_TIMEOUT:-120}))
    until [ -S "$BENCH_SOCKET" ] &&
        "$MRVDC_BUILD_DIR/bench/bench_socket_client" probe "$BENCH_SOCKET" 2>/dev/null; do
        if ! kill -0 "$bench_host_pid" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
            echo "mrvdc did not start serving on $BENCH_SOCKET; its output:" >&2
            cat "$MRVDC_SYSROOT/host-run.out" "$MRVDC_SYSROOT/var/log/mrvdc.log" >&2 2>/dev/null
            bench_stop_daemon
            return 1
        fi
        sleep 0.1
    done
    BENCH_DAEMON_PID=$(pgrep -P "$bench_host_pid" -x mrvdc || true)
}

bench_stop_daemon() {
    local status=0
    if [ -n "$bench_host_pid" ]; then
        kill -TERM "$bench_host_pid" 2>/dev/null || true
        wait "$bench_host_pid" || status=$?
        bench_host_pid=
        if [ "$status" -ne 0 ]; then
            echo "mrvdc exited with status $status" >&2
        fi
    fi
    if [ -n "$bench_sysroot" ] && [ -n "${BENCH_KEEP_SYSROOT:-}" ]; then
        echo "sysroot kept: $bench_sysroot" >&2
    elif [ -n "$bench_sysroot" ]; then
        rm -rf "$bench_sysroot"
    fi
    bench_sysroot=
    return "$status"
}
