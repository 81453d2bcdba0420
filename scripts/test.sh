#!/usr/bin/env bash
# Runs every test: the host build (ASan + UBSan), the fuzz targets for a
# bounded time, the i686 deliverables build, and the x86_64 build of the
# Windows code under 64-bit Wine (with Xvfb, a persistent wineserver and
# virtual serial cables). Runs setup first.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
"$ROOT/scripts/setup.sh"
source "$ROOT/scripts/harness.sh"
trap zivo_cleanup EXIT

jobs=$(nproc)
status=0

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native || status=1

echo "== fuzz targets"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz || status=1

echo "== i686 build: the deliverables (PE32), tests compiled"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"

echo "== x86_64 build of the Windows code, tests under 64-bit Wine"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"
ZIVO_FORCE_XVFB=1 zivo_xvfb
zivo_wine_prefix
zivo_wineserver
mkdir -p "$ROOT/build/artifacts"
ctest --preset win64 || status=1

exit $status
