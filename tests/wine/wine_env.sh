#!/bin/bash
# The Windows tests' environment, made by the test set-up and removed by its clean-up:
#   wine_env.sh setup STATE_DIR XVFB_STATE_DIR SOURCE_DIR PYTHON USER PASSWORD
#                                  a throw-away Wine prefix with Wine's own fonts and a
#                                  persistent wineserver, on the display of the xvfb test
#                                  fixture (XVFB_STATE_DIR, see tests/support/xvfb.sh);
#                                  STATE_DIR/env names them, and the FTP server script, its
#                                  interpreter and the account (the program's compiled-in one)
#                                  with which wine_run.sh starts a server for each test program
#   wine_env.sh teardown STATE_DIR stops all of it and removes the prefix
# Debian's Wine installs no fonts into a prefix: without /usr/share/wine/fonts copied in, "MS
# Sans Serif" falls back to a wider face and every dialog grows. The prefix is 32-bit, made
# without the Mono and Gecko installers (nothing here needs them). Background processes write
# to files in STATE_DIR, never to the caller's output, so that CTest does not wait for them.
set -euo pipefail

action=${1:?setup or teardown}
state=${2:?state directory}
prefix=$state/prefix

teardown() {
    if [ -d "$prefix" ]; then
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
    fi
    rm -rf "$prefix" "$state/env"
}

setup() {
    local xvfb_state=${1:?Xvfb state directory} source_dir=${2:?source directory}
    local python=${3:?Python interpreter} user=${4:?account} password=${5:?password}
    teardown
    mkdir -p "$state"

    # The display first: Wine's desktop process takes its graphics driver from the
    # environment of the process that starts it, which is wineboot below.
    local display
    display=$("$(dirname "$0")/../support/xvfb.sh" display "$xvfb_state")

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
    setup) setup "${3:-}" "${4:-}" "${5:-}" "${6:-}" "${7:-}" ;;
    teardown) teardown ;;
    *)
        echo "usage: wine_env.sh setup STATE_DIR XVFB_STATE_DIR SOURCE_DIR PYTHON USER" \
            "PASSWORD | teardown STATE_DIR" >&2
        exit 2
        ;;
esac
