#!/usr/bin/env bash
# Installs what building, running and testing Kestrin needs on a Debian machine (as root, or
# with sudo). Does nothing when everything is there already.
set -euo pipefail

packages=(
  cmake g++ make pkg-config python3 clang-format
  libgtest-dev libgmock-dev googletest
  libfltk1.3-dev libcurl4-openssl-dev libssl-dev openssl
  python3-pyftpdlib python3-pyte vsftpd strace
  xvfb xdotool x11-apps x11-utils imagemagick
  g++-mingw-w64-i686 binutils-mingw-w64-i686 icoutils
  wine wine32:i386 fonts-wine
  dpkg-dev file lintian desktop-file-utils man-db
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
# vsftpd is there for the end-to-end suite, which starts its own on loopback: the system's
# service must neither start on installation nor at boot. A policy-rc.d that refuses every
# start keeps the package's scripts from starting it (one that is there already stays).
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
  "${sudo_cmd[@]}" chmod 755 "$policy"
  trap '"${sudo_cmd[@]}" rm -f "$policy"' EXIT
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
  "${missing[@]}" >/dev/null
if printf '%s\n' "${missing[@]}" | grep -qx vsftpd; then
  "${sudo_cmd[@]}" systemctl disable vsftpd >/dev/null 2>&1 ||
    "${sudo_cmd[@]}" update-rc.d vsftpd disable >/dev/null 2>&1 || true
fi
