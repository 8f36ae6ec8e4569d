#!/bin/bash
# The Windows tests' environment, made by the test set-up and removed by its clean-up:
#   wine_env.sh setup STATE_DIR SOURCE_DIR PYTHON USER PASSWORD
#                                              a throw-away Wine prefix with Wine's own fonts,
#                                              an Xvfb display and a persistent wineserver;
#                                              STATE_DIR/env names them, and the FTP server
#                                              script, its interpreter and the account (the
#                                              program's compiled-in one) with which
#                                              wine_run.sh starts a server for each test
#                                              program
#   wine_env.sh teardown STATE_DIR             stops all of it and removes the prefix
# Debian's Wine installs no fonts into a prefix: without /usr/share/wine/fonts copied in, "MS
# Sans Serif" falls back to a wider face and every dialog grows. The prefix is 32-bit, made
# without the Mono and Gecko installers (nothing here needs them). Background processes write
# to files in STATE_DIR, never to the caller's output, so that CTest does not wait for them.
set -euo pipefail

action=${1:?setup or teardown}
state=${2:?state directory}
prefix=$state/prefix

# Stops the process a pid file names, if it still is the one started here (a stale file from
# a killed run may name a process that has since taken the number).
stop_pid_file() {
    local file=$1 name=$2
    if [ -f "$file" ]; then
        local pid
        pid=$(cat "$file")
        if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "$name"; then
            kill "$pid" 2>/dev/null || true
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            kill -9 "$pid" 2>/dev/null || true
        fi
        rm -f "$file"
    fi
}

teardown() {
    if [ -d "$prefix" ]; then
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
    fi
    stop_pid_file "$state/xvfb.pid" Xvfb
    rm -rf "$prefix" "$state/env"
}

wait_for_file() {
    local file=$1 what=$2
    for _ in $(seq 100); do
        [ -s "$file" ] && return 0
        sleep 0.1
    done
    echo "wine_env.sh: $what did not start" >&2
    return 1
}

setup() {
    local source_dir=${1:?source directory} python=${2:?Python interpreter} user=${3:?account}
    local password=${4:?password}
    teardown
    mkdir -p "$state"

    # The display first: Wine's desktop process takes its graphics driver from the
    # environment of the process that starts it, which is wineboot below.
    rm -f "$state/display"
    setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$state/display" \
        </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    wait_for_file "$state/display" "Xvfb"
    local display
    display=":$(tr -d '[:space:]' <"$state/display")"

    export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export DISPLAY=$display
    mkdir -p "$prefix"
    # One server for the whole run: every later program starts without waiting for a new one.
    wineserver -p </dev/null >"$state/wineserver.log" 2>&1
    wineboot -i </dev/null >"$state/wineboot.log" 2>&1
    cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
    # Xvfb has no window manager: Wine places its windows itself instead of waiting, two
    # seconds each time, for a manager that never answers.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
        </dev/null >>"$state/wineboot.log" 2>&1

    {
        echo "export WINEPREFIX='$prefix'"
        echo "export WINEARCH=win32"
        echo "export WINEDEBUG=-all"
        echo "export WINEDLLOVERRIDES='mscoree,mshtml='"
        echo "export DISPLAY='$display'"
    } >"$state/env.new"

    # What each test program's own FTP server is started with (wine_run.sh): the test
    # programs cannot start a Linux process from inside Wine.
    if [ -f "$source_dir/scripts/ftp_server.py" ]; then
        {
            echo "export KESTRIN_WINE_FTP_SCRIPT='$source_dir/scripts/ftp_server.py'"
            echo "export KESTRIN_WINE_FTP_PYTHON='$python'"
            echo "export KESTRIN_WINE_FTP_USER='$user'"
            echo "export KESTRIN_WINE_FTP_PASSWORD='$password'"
        } >>"$state/env.new"
    fi
    mv "$state/env.new" "$state/env"
}

case $action in
    setup) setup "${3:-}" "${4:-}" "${5:-}" "${6:-}" ;;
    teardown) teardown ;;
    *)
        echo "usage: wine_env.sh setup STATE_DIR SOURCE_DIR PYTHON USER PASSWORD" \
            "| teardown STATE_DIR" >&2
        exit 2
        ;;
esac
