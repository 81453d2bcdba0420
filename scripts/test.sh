#!/usr/bin/env bash
# Runs every test: the host build (ASan + UBSan), the fuzz targets for a bounded time, and the
# i686 build whose Windows tests run as i686 programs under 32-bit Wine (the 32-bit lane on
# machines that run no 32-bit code) in one session with Xvfb, a persistent wineserver and
# virtual serial cables. Runs setup first.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
"$ROOT/scripts/setup.sh"

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

echo "== i686 build: the deliverables (PE32) and the Windows tests, run under 32-bit Wine"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
mkdir -p "$ROOT/build/artifacts"
t0=$SECONDS
"$ROOT/scripts/wine-session.sh" ctest --preset win32 || status=1
echo "== i686 tests took $((SECONDS - t0)) s (mode: $("$ROOT/scripts/lane32.sh" mode))"

exit $status
