# Test harness helpers, sourced by the test and main-job scripts and by test
# wrappers: a private Wine prefix, a persistent wineserver, Xvfb, virtual
# null-modem cables. Everything started here is stopped by zivo_cleanup.
# shellcheck shell=bash

ZIVO_ROOT="${ZIVO_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
# The Windows programs are i686: they run under 32-bit Wine, in the 32-bit lane (qemu-user,
# scripts/lane32.sh) on machines that run no 32-bit user code, or natively where they can.
ZIVO_LANE_DIR="${ZIVO_LANE:-$ZIVO_ROOT/build/deps/lane32}"
export WINEPREFIX="${WINEPREFIX:-$ZIVO_ROOT/build/wineprefix32}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win32
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
if [ -z "${ZIVO_WINE_MODE:-}" ]; then
  ZIVO_WINE_MODE=$("$ZIVO_ROOT/scripts/lane32.sh" mode)
  export ZIVO_WINE_MODE
fi
if [ "$ZIVO_WINE_MODE" = lane ]; then
  export QEMU_LD_PREFIX="$ZIVO_LANE_DIR/sysroot"
  ZIVO_WINE="$QEMU_LD_PREFIX/usr/lib/wine/wine"
  # The host's wineserver (the same Wine version) serves the emulated 32-bit clients.
  ZIVO_WINESERVER=/usr/lib/wine/wineserver64
else
  ZIVO_WINE=/usr/lib/wine/wine
  ZIVO_WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver32)
fi
export WINELOADER="$ZIVO_WINE" WINESERVER="$ZIVO_WINESERVER"
# Session output (Wine's background services keep their standard output open) goes here.
ZIVO_WINE_LOG="${ZIVO_WINE_LOG:-$ZIVO_ROOT/build/wine-session.log}"

# zivo_lane CMD...: runs CMD where i686 programs can start (inside the lane's namespace).
zivo_lane() { "$ZIVO_ROOT/scripts/lane32.sh" exec "$@"; }

ZIVO_CLEANUP=()
zivo_cleanup() {
  local i
  for ((i = ${#ZIVO_CLEANUP[@]} - 1; i >= 0; i--)); do eval "${ZIVO_CLEANUP[$i]}" >/dev/null 2>&1 || true; done
  ZIVO_CLEANUP=()
}
zivo_on_exit() { ZIVO_CLEANUP+=("$1"); }

# Creates the prefix once (crash dialogs off, no debugger) and marks it ready. Must run where
# i686 programs start (zivo_lane).
zivo_wine_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.zivo-ready" ]; then
      rm -rf "$WINEPREFIX"
      "$ZIVO_WINE" wineboot -i >>"$ZIVO_WINE_LOG" 2>&1 || true
      "$ZIVO_WINESERVER" -w || true
      cat >"$WINEPREFIX/zivo.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[-HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Auto"="0"
"Debugger"=""
REG
      "$ZIVO_WINE" regedit /S "$WINEPREFIX/zivo.reg" >>"$ZIVO_WINE_LOG" 2>&1
      "$ZIVO_WINESERVER" -w || true
      touch "$WINEPREFIX/.zivo-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Keeps one wineserver alive for the whole run (each Wine start then costs far less) and starts
# the session's services once, so tests started side by side find them up.
zivo_wineserver() {
  "$ZIVO_WINESERVER" -p >/dev/null 2>&1 || true
  zivo_on_exit "'$ZIVO_WINESERVER' -k"
  timeout 120 "$ZIVO_WINE" wineboot >>"$ZIVO_WINE_LOG" 2>&1 || true
  # The desktop process is started by the first program that makes a window and inherits
  # its standard error: started from a test, it would hold CTest's pipe of that test open
  # until the session ends. A hidden window made here starts it with the log instead.
  timeout 120 "$ZIVO_WINE" rundll32.exe user32.dll,GetDesktopWindow >>"$ZIVO_WINE_LOG" 2>&1 || true
  zivo_desktop_keeper
}

# True while the desktop process of this prefix runs.
zivo_desktop_alive() {
  local p
  for p in $(pgrep -f 'explorer\.exe /desktop' 2>/dev/null); do
    { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}

# Under emulation the desktop process dies now and then. Until a new one runs no program of
# the session can make a window, and the program that starts it hands it its standard error,
# so CTest waits on that test's pipe until the session ends. This keeper starts a new one at
# once, with the log as its output.
zivo_desktop_keeper() {
  (
    while sleep 0.5; do
      zivo_desktop_alive && continue
      echo "harness: the desktop process ended; starting a new one" >>"$ZIVO_WINE_LOG"
      timeout 120 "$ZIVO_WINE" rundll32.exe user32.dll,GetDesktopWindow >>"$ZIVO_WINE_LOG" 2>&1 </dev/null || true
      sleep 2  # should it die at once again, not a start every half second
    done
  ) </dev/null >/dev/null 2>&1 &
  zivo_on_exit "kill $!"
}

# Runs a Wine program of the session (regedit, reg) quietly.
zivo_wine_quiet() { timeout 60 "$ZIVO_WINE" "$@" >>"$ZIVO_WINE_LOG" 2>&1; }

# Starts Xvfb on a free display unless one is given; exports DISPLAY. Xvfb picks the display
# itself (-displayfd): probing for a free number first lets two sessions started together take
# the same one, and then each sees the other's windows and clipboard.
zivo_xvfb() {
  if [ -n "${DISPLAY:-}" ] && [ -z "${ZIVO_FORCE_XVFB:-}" ]; then return 0; fi
  local out
  out=$(mktemp "${TMPDIR:-/tmp}/zivo-xvfb.XXXXXX")
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$out" >/dev/null 2>&1 &
  local pid=$!
  local t n=""
  for t in $(seq 1 200); do
    n=$(head -n1 "$out" 2>/dev/null || true)
    [ -n "$n" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$out"
  if [[ "$n" =~ ^[0-9]+$ ]]; then
    export DISPLAY=":$n"
    zivo_on_exit "kill $pid"
    return 0
  fi
  kill "$pid" 2>/dev/null || true
  echo "harness: no Xvfb display could be started" >&2
  return 1
}

# zivo_cable A B: a virtual null-modem cable between COM<A> and COM<B> of the
# prefix. The pty ends are ZIVO_PTY_<A> and ZIVO_PTY_<B> for Linux-side use.
# Each port is mapped in dosdevices and in HKLM\Software\Wine\Ports: Wine's device services
# remap COM ports to the machine's /dev/ttyS* whenever they (re)start, unless Ports names them.
zivo_cable() {
  local a=$1 b=$2 dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/zivo-cable.XXXXXX")
  socat "pty,raw,echo=0,link=$dir/com$a" "pty,raw,echo=0,link=$dir/com$b" >/dev/null 2>&1 &
  local pid=$!
  local t
  for t in $(seq 1 100); do
    [ -e "$dir/com$a" ] && [ -e "$dir/com$b" ] && break
    sleep 0.02
  done
  if [ ! -e "$dir/com$a" ] || [ ! -e "$dir/com$b" ]; then
    echo "harness: socat did not create the cable" >&2
    kill "$pid" 2>/dev/null
    return 1
  fi
  local pa pb
  pa=$(readlink -f "$dir/com$a")
  pb=$(readlink -f "$dir/com$b")
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$pa" "$WINEPREFIX/dosdevices/com$a"
  ln -sfn "$pb" "$WINEPREFIX/dosdevices/com$b"
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM%s"="%s"\n"COM%s"="%s"\n' \
    "$a" "$pa" "$b" "$pb" >"$dir/ports.reg"
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM%s"=-\n"COM%s"=-\n' \
    "$a" "$b" >"$dir/unports.reg"
  zivo_wine_quiet regedit /S "$(zivo_winpath "$dir/ports.reg")"
  if ! timeout 60 "$ZIVO_WINE" reg query 'HKLM\Software\Wine\Ports' /v "COM$a" 2>/dev/null | tr -d '\r' |
    grep -q "COM$a.*$pa\$"; then
    echo "harness: COM$a is not mapped to its cable in the registry" >&2
    kill "$pid" 2>/dev/null
    return 1
  fi
  export "ZIVO_PTY_$a=$dir/com$a" "ZIVO_PTY_$b=$dir/com$b"
  zivo_on_exit "zivo_wine_quiet regedit /S '$(zivo_winpath "$dir/unports.reg")'; rm -f '$WINEPREFIX/dosdevices/com$a' '$WINEPREFIX/dosdevices/com$b'; kill $pid; rm -rf '$dir'"
}

# Windows path (drive Z:) of a Linux path.
zivo_winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Removes a COM mapping so that the number has nothing behind it.
zivo_no_port() {
  rm -f "$WINEPREFIX/dosdevices/com$1"
}

# Screenshot of the whole X screen into a PNG.
zivo_screenshot() {
  xwd -root -silent | /usr/bin/convert xwd:- "$1"
}
