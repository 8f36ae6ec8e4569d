#!/usr/bin/env bash
# Runs Kestrin against a sample update served on localhost: installs what is missing, builds,
# starts the local FTP server with scripts/sample_update, and starts kestrin (a window when a
# display is available, the terminal front end otherwise) with a demo install directory of its
# own (build/demo/Tamwix) and its own settings (build/demo/config). Arguments go to kestrin,
# e.g. scripts/demo.sh UPDATE_REQUEST.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake -S . -B build/demo-build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIN_SERVER_FROM_ENV=ON \
  -DKESTRIN_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo-build -j"$(nproc)" --target kestrin >/dev/null

user=$(sed -n 's/^KESTRIN_UPDATE_USER:STRING=//p' build/demo-build/CMakeCache.txt)
password=$(sed -n 's/^KESTRIN_UPDATE_PASSWORD:STRING=//p' build/demo-build/CMakeCache.txt)

demo=$root/build/demo
mkdir -p "$demo/config/Vantorel/Tamwix/FILES" "$demo/Tamwix"
printf '%s\n' "$demo/Tamwix" >"$demo/config/Vantorel/Tamwix/FILES/Directory"
rm -f "$demo/ftp.port"

/usr/bin/python3 scripts/ftp_server.py --host 127.0.0.1 --port 0 --root scripts/sample_update \
  --user "$user" --password "$password" --port-file "$demo/ftp.port" --log "$demo/ftp.log" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT
for _ in $(seq 100); do [ -s "$demo/ftp.port" ] && break; sleep 0.1; done
[ -s "$demo/ftp.port" ] || { echo "the local FTP server did not start"; exit 1; }

echo "demo: update server on 127.0.0.1:$(cat "$demo/ftp.port"), product directory $demo/Tamwix/Pelmora"
XDG_CONFIG_HOME=$demo/config KESTRIN_UPDATE_HOST=127.0.0.1 \
  KESTRIN_UPDATE_PORT=$(cat "$demo/ftp.port") build/demo-build/app/kestrin "$@"
