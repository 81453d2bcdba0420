#!/usr/bin/env bash
# Test wrapper: asks addr2line where MapProbeRoutine of the test program lies
# (unit, name, line) and hands the answers to the test in its environment.
#   map-probe.sh ADDR2LINE COMMAND... (the command names the test program, *.exe)
set -euo pipefail
addr2line=$1
shift
nm=${addr2line%addr2line}nm
exe=
for a in "$@"; do
  case $a in *.exe) exe=$a; break ;; esac
done
[ -n "$exe" ] || { echo "map-probe.sh: no .exe in: $*" >&2; exit 2; }
symbols=$("$nm" "$exe")
address=$(awk '$3 == "MapProbeRoutine" || $3 == "_MapProbeRoutine" { print $1 }' <<<"$symbols" | head -n 1)
[ -n "$address" ] || { echo "map-probe.sh: MapProbeRoutine not in $exe" >&2; exit 2; }
mapfile -t answer < <("$addr2line" -f -C -e "$exe" "0x$address")
location=${answer[1]%% (*}
export MAP_PROBE_NAME=${answer[0]}
export MAP_PROBE_UNIT=$(basename "${location%:*}")
export MAP_PROBE_LINE=${location##*:}
exec "$@"
