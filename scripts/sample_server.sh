# shellcheck shell=bash disable=SC2034
# Sourced by the scripts that run Kestrin against the sample update (demo.sh, build-windows.sh).
#
# start_sample_server BUILD_DIR STATE_DIR
#   serves scripts/sample_update on a free 127.0.0.1 port with the update account of the build in
#   BUILD_DIR (its CMake cache), keeping the port file and the server's log in STATE_DIR; sets
#   sample_server_pid and sample_server_port. The caller stops the server (kill the pid).
start_sample_server() {
    local cache=$1/CMakeCache.txt state=$2 user password
    user=$(sed -n 's/^KESTRIN_UPDATE_USER:STRING=//p' "$cache")
    password=$(sed -n 's/^KESTRIN_UPDATE_PASSWORD:STRING=//p' "$cache")
    mkdir -p "$state"
    rm -f "$state/ftp.port"
    /usr/bin/python3 scripts/ftp_server.py --host 127.0.0.1 --port 0 --root scripts/sample_update \
        --user "$user" --password "$password" --port-file "$state/ftp.port" \
        --log "$state/ftp.log" &
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
