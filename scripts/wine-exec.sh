#!/usr/bin/env bash
# Cross-compiling emulator for CTest: runs a Windows test program under Wine in the
# project's private prefix (created on first use), with a display.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"
zivo_wine_prefix
if [ -z "${DISPLAY:-}" ]; then
  trap zivo_cleanup EXIT
  zivo_xvfb
fi
"$ZIVO_WINE" "$@"
