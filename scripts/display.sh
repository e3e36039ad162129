#!/usr/bin/env bash
# Sourced: gives Wine an X display, starting a private Xvfb when none is set.
# Sets MF_XVFB_PID when it started one; mf_stop_display ends it.
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    for n in $(seq 90 120); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        MF_XVFB_PID=$!
        export DISPLAY=":$n"
        for _ in $(seq 50); do
            xdpyinfo >/dev/null 2>&1 && break
            sleep 0.1
        done
        break
    done
fi
mf_stop_display() {
    if [ -n "${MF_XVFB_PID:-}" ]; then
        kill "$MF_XVFB_PID" 2>/dev/null || true
    fi
}
