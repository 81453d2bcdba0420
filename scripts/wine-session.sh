#!/usr/bin/env bash
# wine-session.sh CMD...: runs CMD inside one Wine session for i686 programs: the lane's
# namespace (where the machine runs no 32-bit code), the prefix, an Xvfb display (always a
# private one unless ZIVO_USE_DISPLAY=1) and a persistent wineserver with its services up.
# Programs started by CMD through scripts/wine32.sh (CTest's emulator) join this session.
# Everything started here is stopped when CMD ends.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ "$("$HERE/lane32.sh" mode)" = lane ] && [ -z "${ZIVO_LANE32_NS:-}" ]; then
  "$HERE/lane32.sh" setup
  exec "$HERE/lane32.sh" exec "$0" "$@"
fi
source "$HERE/harness.sh"
trap zivo_cleanup EXIT
[ "${ZIVO_USE_DISPLAY:-}" = 1 ] || ZIVO_FORCE_XVFB=1
export ZIVO_FORCE_XVFB
zivo_xvfb
zivo_wine_prefix
zivo_wineserver
export ZIVO_SESSION=1
set +e
"$@"
exit $?
