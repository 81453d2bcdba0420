#!/usr/bin/env bash
# The main job: builds both programs, joins them with a virtual null-modem
# cable (Tarvik's start port COM1 on one end, Lunsel's start port COM8 on the
# other) and starts them.
#   With a display ($DISPLAY): both windows open there; the script waits until
#   both are closed.
#   Without one: they run under Xvfb, one frame is played through (connect
#   both, send "123,45"), Lunsel's decoded lines are printed and a screenshot
#   of each window is left in build/artifacts/.
# The programs are the i686 deliverables (build/win32/bin) under 32-bit Wine: in the 32-bit
# lane (scripts/lane32.sh) where the machine runs no 32-bit code, natively where it does.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
if [ -z "${ZIVO_RUN_INSIDE:-}" ]; then
  "$ROOT/scripts/setup.sh"
  echo "== building the i686 deliverables (build/win32/bin)"
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j "$(nproc)" --target Tarvik Lunsel play_frame
  export ZIVO_RUN_INSIDE=1
  [ -n "${DISPLAY:-}" ] && export ZIVO_USE_DISPLAY=1 ZIVO_RUN_DISPLAY="$DISPLAY"
  exec "$ROOT/scripts/wine-session.sh" "$0" "$@"
fi
source "$ROOT/scripts/harness.sh"
trap zivo_cleanup EXIT
BIN="$ROOT/build/win32/bin"

headless=1
[ -n "${ZIVO_RUN_DISPLAY:-}" ] && headless=""
zivo_cable 1 8
echo "== cable: COM1 (Tarvik) <-> COM8 (Lunsel); programs: the i686 builds under 32-bit Wine ($ZIVO_WINE_MODE)"

"$ZIVO_WINE" "$BIN/Lunsel.exe" >/dev/null 2>&1 &
lunsel=$!
"$ZIVO_WINE" "$BIN/Tarvik.exe" >/dev/null 2>&1 &
tarvik=$!
zivo_on_exit "kill $lunsel $tarvik 2>/dev/null"

if [ -z "$headless" ]; then
  echo "== Tarvik and Lunsel are running on $DISPLAY; close both windows to end"
  wait "$lunsel" "$tarvik" || true
  exit 0
fi

echo "== no display: Xvfb $DISPLAY; playing one frame (connect both, send \"123,45\")"
mkdir -p "$ROOT/build/artifacts"
status=0
if lines=$(timeout -s KILL 90 "$ZIVO_WINE" "$BIN/play_frame.exe" play); then
  echo "== Lunsel decoded:"
  printf '%s\n' "$lines" | tr -d '\r' | iconv -f CP1252 -t UTF-8
else
  echo "run: the frame did not come through" >&2
  status=1
fi
for name in lunsel tarvik; do
  bmp="$ROOT/build/artifacts/$name.bmp"
  if timeout -s KILL 30 "$ZIVO_WINE" "$BIN/play_frame.exe" shot "$name" "Z:$bmp" &&
     /usr/bin/convert "$bmp" "$ROOT/build/artifacts/$name.png"; then
    rm -f "$bmp"
    echo "== screenshot: build/artifacts/$name.png"
  else
    echo "run: no screenshot of $name" >&2
    status=1
  fi
done
timeout -s KILL 20 "$ZIVO_WINE" "$BIN/play_frame.exe" close >/dev/null 2>&1 || true
for pid in "$lunsel" "$tarvik"; do
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
done
exit $status
