#!/usr/bin/env bash
# Test wrapper: the screenshot round trip in a Wine session and on an X display
# of its own. The cursor and the window stack belong to a Wine session, not to
# a display: in the shared session its full-screen window would catch other
# tests' clicks, and their cursors would end up in its screenshot.
# usage: screenshot_xwd.sh EMULATOR PROGRAM WORKDIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
scripts="$here/../../scripts"
if [ "$("$scripts/lane32.sh" mode)" = lane ] && [ -z "${ZIVO_LANE32_NS:-}" ]; then
  exec "$scripts/lane32.sh" exec "$0" "$@"
fi
export WINEPREFIX="${ZIVO_SCREENSHOT_PREFIX:-$here/../../build/wineprefix32-screenshot}"
export ZIVO_WINE_LOG="$WINEPREFIX.log"
unset ZIVO_SESSION
source "$scripts/harness.sh"
trap zivo_cleanup EXIT
ZIVO_FORCE_XVFB=1 zivo_xvfb
zivo_wine_prefix
zivo_wineserver
export ZIVO_SESSION=1  # the emulator joins this session
/usr/bin/python3 "$here/screenshot_xwd_check.py" "$@"
