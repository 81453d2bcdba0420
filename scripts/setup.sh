#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent: a second run only checks and returns quickly.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

PKGS=(
  build-essential cmake ninja-build pkg-config dpkg-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  libz-mingw-w64-dev zlib1g-dev libjpeg62-turbo-dev libjpeg-turbo-progs
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 libclang-rt-14-dev llvm-14
  wine64 qemu-user-static
  xvfb socat x11-apps imagemagick xdotool
  giflib-tools libgif-dev gifsicle icoutils netpbm pngcheck
  libcapstone-dev libzydis-dev binutils
  python3-aiosmtpd dnsmasq-base iproute2 util-linux
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# libjpeg for mingw: Debian ships no mingw build, so cross-compile Debian's own
# source package once and keep it in a build-local prefix.
"$ROOT/scripts/build-libjpeg-mingw.sh" i686

# The 32-bit lane (i686 Wine under qemu-user) where the machine runs no 32-bit code.
"$ROOT/scripts/lane32.sh" setup

