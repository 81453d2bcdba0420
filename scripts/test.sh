#!/usr/bin/env bash
# Runs every test: the host build (ASan + UBSan), the i686 build under Wine
# (with Xvfb, a persistent wineserver and virtual serial cables), and the
# fuzz targets for a bounded time. Runs setup first.
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

echo "== i686 build and tests under Wine"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
ZIVO_FORCE_XVFB=1 zivo_xvfb
zivo_wine_prefix
zivo_wineserver
mkdir -p "$ROOT/build/artifacts"
ctest --preset win32 || status=1

exit $status
