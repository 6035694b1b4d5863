#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
# 32-bit Wine (wine32:i386) runs the i686 build; it needs the i386 architecture added first.
set -euo pipefail
packages=(cmake make g++ googletest libgtest-dev mingw-w64 g++-mingw-w64-x86-64-posix
          g++-mingw-w64-i686-posix wine wine64 wine32:i386 xvfb xauth x11-utils imagemagick clang
          libclang-rt-14-dev python3 locales fonts-wine fonts-nanum osslsigncode openssl libssl-dev
          libcli11-dev zip unzip)
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
added_arch=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  added_arch=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})) || ((added_arch)); then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
