#!/usr/bin/env bash
# build-libjpeg-mingw.sh ARCH (i686 or x86_64): cross-compiles Debian's own
# libjpeg-turbo source package for Windows
# into a build-local prefix (static library, no SIMD, no TurboJPEG API).
# Cached: does nothing when the prefix is already there.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ARCH="${1:-i686}"
PREFIX="$ROOT/build/deps/jpeg-$ARCH"
WORK="$ROOT/build/deps/jpeg-src-$ARCH"
[ -f "$PREFIX/.zivo-ready" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# Source packages come from the same archive as the machine's binary packages.
if ! apt-get source --print-uris libjpeg-turbo >/dev/null 2>&1; then
  src=/etc/apt/sources.list.d/zivo-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee /etc/apt/sources.list.d/zivo-deb-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
fi

rm -rf "$WORK"
mkdir -p "$WORK"
(cd "$WORK" && apt-get source -qq --download-only libjpeg-turbo >/dev/null 2>&1 && dpkg-source -x --no-check ./*.dsc src >/dev/null)

cat >"$WORK/toolchain.cmake" <<TC
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $ARCH)
set(CMAKE_C_COMPILER $ARCH-w64-mingw32-gcc-posix)
set(CMAKE_RC_COMPILER $ARCH-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$ARCH-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC
cmake -S "$WORK/src" -B "$WORK/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$WORK/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DWITH_SIMD=OFF -DENABLE_SHARED=OFF -DWITH_TURBOJPEG=OFF \
  -DWITH_JPEG8=OFF -DWITH_JPEG7=OFF -Wno-dev >/dev/null
cmake --build "$WORK/build" --target install >/dev/null
touch "$PREFIX/.zivo-ready"
rm -rf "$WORK"
echo "libjpeg for $ARCH built into $PREFIX"
