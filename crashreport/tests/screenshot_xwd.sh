#!/usr/bin/env bash
# Test wrapper: the screenshot round trip in a Wine session and on an X display
# of its own. The cursor and the window stack belong to a Wine session, not to
# a display: in the shared session its full-screen window would catch other
# tests' clicks, and their cursors would end up in its screenshot.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export WINEPREFIX="${ZIVO_SCREENSHOT_PREFIX:-$here/../../build/wineprefix-screenshot}"
source "$here/../../scripts/harness.sh"
trap zivo_cleanup EXIT
ZIVO_FORCE_XVFB=1 zivo_xvfb
zivo_wine_prefix
zivo_wineserver
/usr/bin/python3 "$here/screenshot_xwd_check.py" "$@"
