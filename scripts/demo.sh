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
# The preset "demo" of CMakePresets.json: build/demo-build, optimised, without tests.
cmake --preset demo >/dev/null
cmake --build --preset demo -j"$(nproc)" >/dev/null

demo=$root/build/demo
mkdir -p "$demo/config/Vantorel/Tamwix/FILES" "$demo/Tamwix"
printf '%s\n' "$demo/Tamwix" >"$demo/config/Vantorel/Tamwix/FILES/Directory"

# shellcheck source=scripts/sample_server.sh
source scripts/sample_server.sh
start_sample_server build/demo-build "$demo"
trap 'kill $sample_server_pid 2>/dev/null; wait $sample_server_pid 2>/dev/null' EXIT

echo "demo: update server on 127.0.0.1:$sample_server_port, product directory $demo/Tamwix/Pelmora"
XDG_CONFIG_HOME=$demo/config KESTRIN_UPDATE_HOST=127.0.0.1 \
  KESTRIN_UPDATE_PORT=$sample_server_port build/demo-build/app/kestrin "$@"
