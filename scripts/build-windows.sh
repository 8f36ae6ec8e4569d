#!/usr/bin/env bash
# Cross-builds the 32-bit Windows program, Kestrin.exe (mingw-w64 i686, statically linked: it
# needs only system DLLs), and with --run starts it under Wine.
#   scripts/build-windows.sh [--build-dir DIR] [--release] [--run [ARGS...]]
# DIR defaults to build/windows; the program is DIR/app/Kestrin.exe.
# --release  keeps the compiled-in update server whatever the environment says; otherwise the
#            build lets KESTRIN_UPDATE_HOST/PORT name another one, as the tests and --run need.
# --run      starts the program on the current display against scripts/sample_update served by
#            the local FTP server, in a Wine prefix of its own (DIR/wine-demo) with Wine's own
#            fonts; its settings are that prefix's registry, its product directory
#            DIR/wine-demo/drive_c/Tamwix/Pelmora. Arguments after --run go to the program
#            (e.g. UPDATE_REQUEST). The prefix's Wine processes are stopped at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

dir=$root/build/windows
from_env=ON
run=0
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) dir=$(realpath -m "$2"); shift 2 ;;
        --release) from_env=OFF; shift ;;
        --run) run=1; shift; break ;;
        *) echo "usage: $0 [--build-dir DIR] [--release] [--run [ARGS...]]" >&2; exit 2 ;;
    esac
done

bash scripts/setup.sh
# The preset "windows-program" of CMakePresets.json (build/windows unless DIR is given).
cmake --preset windows-program -B "$dir" -DKESTRIN_SERVER_FROM_ENV=$from_env >/dev/null
cmake --build "$dir" --target kestrin -j"$(nproc)" >/dev/null
exe=$dir/app/Kestrin.exe
echo "built $exe"
[ "$run" -eq 1 ] || exit 0

if [ -z "${DISPLAY:-}" ]; then
    echo "--run needs a display (DISPLAY is not set)" >&2
    exit 1
fi
[ "$from_env" = ON ] || echo "note: a --release build ignores the local server" >&2

export WINEPREFIX=$dir/wine-demo WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "making the Wine prefix $WINEPREFIX (once)"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    # Debian's Wine installs no fonts into a prefix; without them the dialog grows.
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
fi

# shellcheck source=scripts/sample_server.sh
source scripts/sample_server.sh
start_sample_server "$dir" "$dir"
trap 'kill $sample_server_pid 2>/dev/null; wait $sample_server_pid 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT

echo "update server on 127.0.0.1:$sample_server_port;" \
    "product directory $WINEPREFIX/drive_c/Tamwix/Pelmora"
KESTRIN_UPDATE_HOST=127.0.0.1 KESTRIN_UPDATE_PORT=$sample_server_port wine "$exe" "$@"
