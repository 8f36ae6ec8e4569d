#!/bin/bash
# The tests' X display: one Xvfb server, started by the xvfb.setup test and stopped by
# xvfb.cleanup (a CTest fixture), on which the FLTK tests and the Wine set-up put their windows.
#   xvfb.sh start STATE_DIR     starts Xvfb on a display number it picks itself (-displayfd);
#                               STATE_DIR/display then holds the display's name (":N"),
#                               STATE_DIR/xvfb.pid its process, STATE_DIR/xvfb.log its output
#   xvfb.sh display STATE_DIR   prints the display's name; fails when no server runs there
#   xvfb.sh stop STATE_DIR      stops the server and removes what start wrote
# The server does not reset when its last client leaves (a reset refuses the next program for
# a moment). A server that another one, stopping at the same moment, leaves unreachable (the
# stopping one removes the socket of the number the new one has just taken) is replaced by a
# fresh one. Xvfb runs in a session of its own and writes to files only, so that CTest does not
# wait for it at the end of the set-up test.
set -euo pipefail

action=${1:?start, display or stop}
state=${2:?state directory}

# Whether the pid file names a live Xvfb (a stale file from a killed run may name a process
# that has since taken the number).
running_pid() {
    local pid
    [ -f "$state/xvfb.pid" ] || return 1
    pid=$(cat "$state/xvfb.pid")
    [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q Xvfb || return 1
    echo "$pid"
}

stop() {
    local pid
    if pid=$(running_pid); then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$state/xvfb.pid" "$state/display"
}

display() {
    if ! running_pid >/dev/null || [ ! -s "$state/display" ]; then
        echo "xvfb.sh: no Xvfb runs for $state (the xvfb.setup test starts one)" >&2
        return 1
    fi
    cat "$state/display"
}

# One server; succeeds when it can be reached.
start_once() {
    rm -f "$state/display.number"
    setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
        3>"$state/display.number" </dev/null >>"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 100); do
        [ -s "$state/display.number" ] && break
        kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null || return 1
        sleep 0.1
    done
    [ -s "$state/display.number" ] || return 1
    local name
    name=":$(tr -d '[:space:]' <"$state/display.number")"
    rm -f "$state/display.number"
    # Long enough for a server stopping meanwhile to have removed what it removes.
    sleep 0.5
    if ! running_pid >/dev/null || ! xdpyinfo -display "$name" >/dev/null 2>&1; then
        return 1
    fi
    echo "$name" >"$state/display"
}

start() {
    stop
    mkdir -p "$state"
    : >"$state/xvfb.log"
    for _ in 1 2 3 4 5; do
        start_once && return 0
        stop
    done
    echo "xvfb.sh: no Xvfb display could be reached:" >&2
    cat "$state/xvfb.log" >&2
    return 1
}

case $action in
    start) start ;;
    display) display ;;
    stop) stop ;;
    *)
        echo "usage: xvfb.sh start|display|stop STATE_DIR" >&2
        exit 2
        ;;
esac
