#!/usr/bin/env bash
# Test wrapper: dumps the device class keys with `reg query` through the given
# Wine command, then runs the test with the dump's path in ZIVO_CLASS_DUMP.
# Usage: reg-classes.sh <wine command...> <test.exe> [args...]
set -euo pipefail
dump=$(mktemp "${TMPDIR:-/tmp}/zivo-classes.XXXXXX")
trap 'rm -f "$dump"' EXIT
args=("$@")
last=$((${#args[@]} - 1))
# Everything before the test program is the Wine command.
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[$i]}" in *.exe) last=$i; break ;; esac
done
"${args[@]:0:$last}" reg query 'HKLM\System\CurrentControlSet\Control\Class' /s >"$dump" 2>/dev/null
export ZIVO_CLASS_DUMP="$dump"
"$@"
