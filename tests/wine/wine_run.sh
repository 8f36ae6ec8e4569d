#!/bin/bash
# Runs a cross-built program under Wine: CTest's cross-compiling emulator for the Windows build.
# The prefix and display are those the test set-up made (wine_env.sh setup), named by
# KESTRIN_WINE_STATE; without it nothing runs, so that no test ever touches ~/.wine.
#
# The program gets a local FTP server of its own (scripts/ftp_server.py on the interpreter the
# build chose, with the compiled-in account, on a free port, with a fresh root and log), named
# to it by KESTRIN_TEST_FTP_PORT, _ROOT and _LOG as Windows paths: a program under Wine cannot
# start the Linux interpreter.
#
# Wine's helper processes (services, the desktop) outlive the program and would hold CTest's
# output pipe open, so the program's output goes through a file and is copied out at the end.
set -u
if [ -z "${KESTRIN_WINE_STATE:-}" ] || [ ! -f "$KESTRIN_WINE_STATE/env" ]; then
    echo "wine_run.sh: no Wine test environment (run the wine.setup test first)" >&2
    exit 2
fi
# shellcheck source=/dev/null
. "$KESTRIN_WINE_STATE/env"

work=$(mktemp -d "$KESTRIN_WINE_STATE/run.XXXXXX")
server=
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null
        wait "$server" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# A POSIX path as the program names it: the prefix's drive Z: is the root directory.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

if [ -n "${KESTRIN_WINE_FTP_SCRIPT:-}" ]; then
    mkdir -p "$work/root"
    "$KESTRIN_WINE_FTP_PYTHON" "$KESTRIN_WINE_FTP_SCRIPT" --host 127.0.0.1 --port 0 --root "$work/root" \
        --user "$KESTRIN_WINE_FTP_USER" --password "$KESTRIN_WINE_FTP_PASSWORD" \
        --named-faults --port-file "$work/port" --log "$work/ftp.log" </dev/null >"$work/ftp.out" 2>&1 &
    server=$!
    for _ in $(seq 100); do
        [ -s "$work/port" ] && break
        sleep 0.05
    done
    if [ ! -s "$work/port" ]; then
        echo "wine_run.sh: the FTP server did not start" >&2
        cat "$work/ftp.out" >&2
        exit 2
    fi
    KESTRIN_TEST_FTP_PORT=$(tr -d '[:space:]' <"$work/port")
    KESTRIN_TEST_FTP_ROOT=$(windows_path "$work/root")
    KESTRIN_TEST_FTP_LOG=$(windows_path "$work/ftp.log")
    export KESTRIN_TEST_FTP_PORT KESTRIN_TEST_FTP_ROOT KESTRIN_TEST_FTP_LOG
fi

wine "$@" </dev/null >"$work/out" 2>&1
status=$?
cat "$work/out"
exit $status
