#!/usr/bin/env bash
# Both programs used as a person uses them: real X mouse clicks and key presses (xdotool) on
# Tarvik and Lunsel joined by a virtual cable (COM1 <-> COM8). Positions come from the
# programs' own windows (play_frame where ...), the tab's from the tab control of the other
# process. Tarvik: tare on and off on the configuration tab (a full 15-byte frame), back to the
# first tab, "Conectar", the weight typed into its edit, Enter. Lunsel must list the frame.
# Usage (inside a Wine session with a cable 1 8): x_input_test.sh BIN_DIR
set -euo pipefail
BIN=$1
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/harness.sh"
trap zivo_cleanup EXIT
command -v xdotool >/dev/null || { echo "xdotool missing" >&2; exit 1; }

"$ZIVO_WINE" "$BIN/Lunsel.exe" >/dev/null 2>&1 &
zivo_on_exit "kill $! 2>/dev/null"
"$ZIVO_WINE" "$BIN/Tarvik.exe" >/dev/null 2>&1 &
zivo_on_exit "kill $! 2>/dev/null"
drive() { "$ZIVO_WINE" "$BIN/play_frame.exe" "$@" | tr -d '\r'; }
zivo_on_exit "'$ZIVO_WINE' '$BIN/play_frame.exe' close"

drive place
click() { # click PROGRAM WHAT ARG
  local xy
  xy=$(drive where "$@") || { echo "x_input: $* not found" >&2; return 1; }
  echo "click $* at $xy"
  # shellcheck disable=SC2086
  xdotool mousemove --sync $xy click 1
  sleep 0.5
}

click lunsel button Conectar
click tarvik tab 1
click tarvik button Ativa
click tarvik button Ativa
click tarvik tab 0
click tarvik button Conectar
click tarvik edit "   ,  |000,00"
xdotool key Home type --delay 50 12345
xdotool key Return
lines=$(drive lines) || { echo "x_input: Lunsel listed nothing" >&2; exit 1; }
printf '%s\n' "$lines"
grep -qx 'Peso = 12345' <<<"$lines" || { echo "x_input: the weight typed did not arrive" >&2; exit 1; }
grep -qx 'Tara = 00000' <<<"$lines" || { echo "x_input: the tare set on and off did not arrive" >&2; exit 1; }
echo "x_input: Lunsel decoded the frame typed into Tarvik"
