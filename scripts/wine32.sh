#!/usr/bin/env bash
# wine32.sh PROGRAM [ARGS...]: runs an i686 Windows program under 32-bit Wine (in the 32-bit
# lane, or natively where the machine runs 32-bit Wine) with the harness's prefix, display and
# session; its exit code and standard output are passed through. CTest's cross-compiling
# emulator for the win32 build. Inside a test run (scripts/test.sh) the session, the display
# and the lane's namespace are already there; alone, it brings up what is missing and stops it
# again afterwards.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ "$("$HERE/lane32.sh" mode)" = lane ] && [ -z "${ZIVO_LANE32_NS:-}" ]; then
  "$HERE/lane32.sh" setup
  exec "$HERE/lane32.sh" exec "$0" "$@"
fi
source "$HERE/harness.sh"
trap zivo_cleanup EXIT
zivo_wine_prefix
if [ -z "${DISPLAY:-}" ]; then zivo_xvfb; fi
if [ -z "${ZIVO_SESSION:-}" ]; then
  zivo_wineserver
  export ZIVO_SESSION=1
fi
set +e
"$ZIVO_WINE" "$@"
rc=$?
exit $rc
