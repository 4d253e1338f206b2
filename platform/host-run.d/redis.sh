# Sourced by host-run's keeper (scripts/host-run), which keeps the servers started here: Redis
# on the sysroot's socket (run/redis.sock), unless one already answers there. Its parent-death
# signal stops it with the keeper even when that is killed outright; it runs in the sysroot's
# var/lib/redis, so a later host-run can tell when it is orphaned.
if command -v redis-server >/dev/null; then
    stop_orphaned_servers '^redis-server .*/run/redis\.sock'
    redis_sock="$MRVDC_SYSROOT/run/redis.sock"
    redis_log="$MRVDC_SYSROOT/var/log/redis.log"
    if ! redis-cli -s "$redis_sock" ping >/dev/null 2>&1; then
        rm -f "$redis_sock"
        setpriv --pdeathsig TERM redis-server --port 0 --unixsocket "$redis_sock" \
            --unixsocketperm 700 --dir "$MRVDC_SYSROOT/var/lib/redis" --save '' --appendonly no \
            --logfile "$redis_log" >>"$redis_log" 2>&1 &
        started+=($!)
        for _ in $(seq 50); do
            redis-cli -s "$redis_sock" ping >/dev/null 2>&1 && break
            sleep 0.1
        done
    fi
    unset redis_sock redis_log
fi
