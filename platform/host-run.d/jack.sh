# Sourced by host-run's keeper (scripts/host-run): a JACK server with the dummy back end, which
# the ALSA configuration of the host platform (platform/alsa/asound.conf) captures "hw:0,0"
# from. Each sysroot has its own server, so host platforms running side by side (parallel
# tests) do not share or stop each other's audio clock. Started only when that server is not
# running; kept by the keeper when started here, and stopped with it when it is killed (JACK
# leaves the keeper's session, not its parent-death signal). JACK allows eight servers at once,
# so one that cannot start is an error, with its reason.
if command -v jackd >/dev/null && command -v jack_wait >/dev/null; then
    JACK_DEFAULT_SERVER="mrvdc-$(printf '%s' "$MRVDC_SYSROOT" | cksum | cut -d' ' -f1)"
    # Clients never start a server of their own behind our back.
    JACK_NO_START_SERVER=1
    export JACK_DEFAULT_SERVER JACK_NO_START_SERVER
    jack_running() { [ "$(jack_wait -c -s "$JACK_DEFAULT_SERVER" 2>/dev/null)" = running ]; }
    stop_orphaned_servers '^jackd -n mrvdc-'
    exec {jack_lock}>"$MRVDC_SYSROOT/run/jack.lock"
    flock "$jack_lock"
    if ! jack_running; then
        # Its working folder is the sysroot, so a later host-run can tell when it is orphaned.
        (cd "$MRVDC_SYSROOT" && exec setpriv --pdeathsig TERM jackd -n "$JACK_DEFAULT_SERVER" \
            --no-realtime -d dummy -r 48000 -C 2 -P 2 >>var/log/jackd.log 2>&1) &
        started+=($!)
        jack_pid=$!
        for _ in $(seq 100); do
            jack_running && break
            kill -0 "$jack_pid" 2>/dev/null || break
            sleep 0.05
        done
        if ! jack_running; then
            echo "host-run: the JACK server did not start:" >&2
            tail -n 5 "$MRVDC_SYSROOT/var/log/jackd.log" >&2
            exit 1
        fi
        unset jack_pid
    fi
    flock -u "$jack_lock"
    exec {jack_lock}>&-
    unset -f jack_running
fi
