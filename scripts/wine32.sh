#!/usr/bin/env bash
# wine32.sh PROGRAM [ARGS...]: runs an i686 Windows program under 32-bit Wine (in the 32-bit
# lane, or natively where the machine runs 32-bit Wine) with the harness's prefix, display and
# session; its exit code and standard output are passed through. CTest's cross-compiling
# emulator for the win32 build. Inside a session (scripts/wine-session.sh, as scripts/test.sh
# runs the tests) it joins it; alone, it runs in a session of its own.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[ -n "${ZIVO_SESSION:-}" ] || exec "$HERE/wine-session.sh" "$0" "$@"
source "$HERE/harness.sh"
"$ZIVO_WINE" "$@"
