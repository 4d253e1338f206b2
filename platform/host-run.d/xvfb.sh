# Sourced by host-run's keeper (scripts/host-run): a private X server (Xvfb) for the overlay
# element, which renders the QML overlay with OpenGL through X (Qt's offscreen platform draws
# nothing). Its display is given in MRVDC_OVERLAY_DISPLAY, so that DISPLAY stays the user's: the
# eyepiece window opens on the desktop when there is one. Kept by the keeper, and stopped with
# it also when it is killed.
if [ -z "${MRVDC_OVERLAY_DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
    stop_orphaned_servers '^Xvfb -displayfd'
    xvfb_display="$MRVDC_SYSROOT/run/xvfb.display"
    rm -f "$xvfb_display"
    # Its working folder is the sysroot, so a later host-run can tell when it is orphaned.
    (cd "$MRVDC_SYSROOT" && exec setpriv --pdeathsig TERM Xvfb -displayfd 3 -nolisten tcp \
        -noreset -screen 0 1280x1024x24 3>"$xvfb_display" >>var/log/xvfb.log 2>&1) &
    started+=($!)
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$xvfb_display" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -s "$xvfb_display" ]; then
        echo "host-run: the X server for the overlay did not start:" >&2
        tail -n 5 "$MRVDC_SYSROOT/var/log/xvfb.log" >&2
        exit 1
    fi
    MRVDC_OVERLAY_DISPLAY=":$(head -n 1 "$xvfb_display")"
    export MRVDC_OVERLAY_DISPLAY
    unset xvfb_pid xvfb_display
fi
# Sanitizer runs unwind the stack on every allocation, and Mesa's llvmpipe allocates while LLVM's
# JIT holds the unwinder's lock (registering the unwind tables of new code): the process locks
# itself up. softpipe draws the same overlay without a JIT.
if [ -n "${ASAN_OPTIONS:-}" ] && [ -z "${GALLIUM_DRIVER:-}" ]; then
    export GALLIUM_DRIVER=softpipe
fi
