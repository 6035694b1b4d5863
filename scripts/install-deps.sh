#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
# Never installs wine32: 32-bit Linux code cannot run here and it breaks `wine`.
set -euo pipefail
packages=(cmake make g++ googletest libgtest-dev mingw-w64 g++-mingw-w64-x86-64-posix
          g++-mingw-w64-i686-posix wine wine64 xvfb xauth x11-utils imagemagick clang
          libclang-rt-14-dev python3 libcli11-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
