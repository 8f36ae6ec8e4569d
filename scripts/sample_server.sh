# shellcheck shell=bash disable=SC2034
# Sourced by the scripts that run Kestrin against a local update server (demo.sh,
# build-windows.sh, bench_sync.sh).
#
# The interpreter of the server and of the scripts' other Python: Debian's python3, which has
# python3-pyftpdlib (scripts/setup.sh installs it); another python3 earlier on PATH may lack it.
kestrin_python=/usr/bin/python3

# start_sample_server BUILD_DIR STATE_DIR [ROOT]
#   serves ROOT (scripts/sample_update unless given) on a free 127.0.0.1 port with the update
#   account of the build in BUILD_DIR (its CMake cache), keeping the port file and the server's
#   log in STATE_DIR; sets sample_server_pid, sample_server_port, sample_server_user and
#   sample_server_password. The caller stops the server (kill the pid).
start_sample_server() {
    local cache=$1/CMakeCache.txt state=$2 root=${3:-scripts/sample_update}
    sample_server_user=$(sed -n 's/^KESTRIN_UPDATE_USER:STRING=//p' "$cache")
    sample_server_password=$(sed -n 's/^KESTRIN_UPDATE_PASSWORD:STRING=//p' "$cache")
    mkdir -p "$state"
    rm -f "$state/ftp.port"
    "$kestrin_python" scripts/ftp_server.py --host 127.0.0.1 --port 0 --root "$root" \
        --user "$sample_server_user" --password "$sample_server_password" \
        --port-file "$state/ftp.port" --log "$state/ftp.log" &
    sample_server_pid=$!
    for _ in $(seq 100); do
        [ -s "$state/ftp.port" ] && break
        sleep 0.1
    done
    if [ ! -s "$state/ftp.port" ]; then
        echo "the local FTP server did not start" >&2
        kill "$sample_server_pid" 2>/dev/null
        return 1
    fi
    sample_server_port=$(cat "$state/ftp.port")
}
