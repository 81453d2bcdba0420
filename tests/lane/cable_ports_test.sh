#!/usr/bin/env bash
# A virtual cable stays on its COM ports when Wine's device services start again (they die and
# restart under emulation; a start may map COM1.. to the machine's /dev/ttyS* unless
# HKLM\Software\Wine\Ports names the port's device, which the harness's cables do). Checked on a
# copy of the session's prefix with a wineserver of its own, so the run's other tests go on.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/harness.sh"
trap zivo_cleanup EXIT
copy=$(mktemp -d "${TMPDIR:-/tmp}/zivo-ports.XXXXXX")
zivo_on_exit "rm -rf '$copy'"
cp -a "$WINEPREFIX/." "$copy/"
# The session's wineserver rewrites its registry files now and then: copy them until two
# copies agree, so the copy is never caught half written.
for _ in 1 2 3 4 5 6 7 8 9 10; do
  same=1
  for f in system.reg user.reg userdef.reg; do
    cmp -s "$WINEPREFIX/$f" "$copy/$f" || { same=0; cp -p "$WINEPREFIX/$f" "$copy/$f"; }
  done
  [ $same = 1 ] && break
  sleep 0.2
done
rm -f "$copy"/dosdevices/com*
export WINEPREFIX=$copy
restart_services() {
  "$ZIVO_WINESERVER" -k 2>/dev/null || true
  "$ZIVO_WINESERVER" -w 2>/dev/null || true
  "$ZIVO_WINESERVER" -p 2>/dev/null
  timeout 120 "$ZIVO_WINE" wineboot >>"$ZIVO_WINE_LOG" 2>&1 || true
}
zivo_on_exit "WINEPREFIX='$copy' '$ZIVO_WINESERVER' -k"
restart_services
zivo_cable 1 2
pty=$(readlink -f "$ZIVO_PTY_1")
restart_services
got=$(readlink "$WINEPREFIX/dosdevices/com1" || true)
echo "COM1 after the services started again: $got (cable end $pty)"
[ "$got" = "$pty" ] || { echo "cable_ports: COM1 left its cable" >&2; exit 1; }

echo "cable_ports: the cable stays mapped across a start of the device services"
