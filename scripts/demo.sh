#!/usr/bin/env bash
# Runs Kestrin against a signed sample update served on localhost: installs what is missing,
# takes the publisher's steps with kestrin-publish (a key of the demo's own, a Kestrin built
# with it, the sample release of scripts/sample_update published and verified), starts the
# local FTP server with that release, and starts kestrin (a window when a display is available,
# the terminal front end otherwise) with a demo install directory of its own (build/demo/Tamwix)
# and its own settings (build/demo/config). Arguments go to kestrin, e.g.
# scripts/demo.sh UPDATE_REQUEST.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
demo=$root/build/demo
keys=$demo/keys
publish=build/demo-build/tools/publish/kestrin-publish

# The preset "demo" of CMakePresets.json: build/demo-build, optimised, without tests. The
# publisher's tool first, for the key that the program is built with.
cmake --preset demo >/dev/null
cmake --build --preset demo -j"$(nproc)" --target kestrin-publish >/dev/null
# The demo's key pair is made once, in build/demo/keys, and kept (keygen never overwrites one):
# the demo needs no key from the sources, and the program is rebuilt only when the key is new.
if [ ! -e "$keys/private-key.pem" ]; then
  "$publish" keygen "$keys" >/dev/null
fi
cmake --preset demo -DKESTRIN_UPDATE_PUBLIC_KEY="$(cat "$keys/public-key.txt")" >/dev/null
cmake --build --preset demo -j"$(nproc)" >/dev/null

# The sample release (the files of scripts/sample_update without its lists), published afresh
# into build/demo/server: lists, manifest and signature, then verified as Kestrin will.
rm -rf "$demo/release" "$demo/server"
mkdir -p "$demo/release" "$demo/config/Vantorel/Tamwix/FILES" "$demo/Tamwix"
find scripts/sample_update/Update -maxdepth 1 -type f ! -name Version.txt ! -name File_list.txt \
  -exec cp {} "$demo/release/" \;
"$publish" release --from "$demo/release" --to "$demo/server" --product Tamwix --version 2B \
  --key "$keys/private-key.pem"
"$publish" verify --root "$demo/server" --public-key "$keys/public-key.txt" --product Tamwix
printf '%s\n' "$demo/Tamwix" >"$demo/config/Vantorel/Tamwix/FILES/Directory"

# shellcheck source=scripts/sample_server.sh
source scripts/sample_server.sh
start_sample_server build/demo-build "$demo" "$demo/server"
trap 'kill $sample_server_pid 2>/dev/null; wait $sample_server_pid 2>/dev/null' EXIT

echo "demo: signed update on 127.0.0.1:$sample_server_port, product directory $demo/Tamwix/Pelmora"
XDG_CONFIG_HOME=$demo/config KESTRIN_UPDATE_HOST=127.0.0.1 \
  KESTRIN_UPDATE_PORT=$sample_server_port build/demo-build/app/kestrin "$@"
