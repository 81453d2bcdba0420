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
# Every process the program starts inherits its Unix standard output and error (Wine forks
# them), and one that outlives it (a desktop process started on demand, a restarted program)
# would keep CTest's pipe open until the session ends. The program writes into files here;
# tail passes them on as they grow and ends with the program.
out=$(mktemp "${TMPDIR:-/tmp}/zivo-wine32.XXXXXX")
err="$out.err"
: >"$err"
trap 'rm -f "$out" "$err"' EXIT
set +e
("$ZIVO_WINE" "$@" >"$out" 2>"$err") &
program=$!
tail -n +1 -f --pid="$program" "$err" >&2 &
errtail=$!
tail -n +1 -f --pid="$program" "$out"
wait "$program"
rc=$?
wait "$errtail"
exit $rc
