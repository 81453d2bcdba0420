#!/usr/bin/env bash
# Test wrapper: the screenshot round trip on an X display of its own, so that
# its full-screen window meets no other test's windows.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/harness.sh"
zivo_wine_prefix
trap zivo_cleanup EXIT
ZIVO_FORCE_XVFB=1 zivo_xvfb
/usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/screenshot_xwd_check.py" "$@"
