# Test harness helpers, sourced by the test and main-job scripts and by test
# wrappers: a private Wine prefix, a persistent wineserver, Xvfb, virtual
# null-modem cables. Everything started here is stopped by zivo_cleanup.
# shellcheck shell=bash

ZIVO_ROOT="${ZIVO_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
# 64-bit Wine: this machine kind runs no 32-bit user code, so the Windows
# code is tested as x86_64 programs (the deliverables stay i686).
export WINEPREFIX="${WINEPREFIX:-$ZIVO_ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win64
ZIVO_WINE="${ZIVO_WINE:-/usr/lib/wine/wine64}"
export WINELOADER="$ZIVO_WINE"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

ZIVO_CLEANUP=()
zivo_cleanup() {
  local i
  for ((i = ${#ZIVO_CLEANUP[@]} - 1; i >= 0; i--)); do eval "${ZIVO_CLEANUP[$i]}" >/dev/null 2>&1 || true; done
  ZIVO_CLEANUP=()
}
zivo_on_exit() { ZIVO_CLEANUP+=("$1"); }

# Creates the prefix once (crash dialogs off, no debugger) and marks it ready.
zivo_wine_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.zivo-ready" ]; then
      rm -rf "$WINEPREFIX"
      "$ZIVO_WINE" wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
      cat >"$WINEPREFIX/zivo.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[-HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Auto"="0"
"Debugger"=""
REG
      "$ZIVO_WINE" regedit /S "$WINEPREFIX/zivo.reg" >/dev/null 2>&1
      wineserver -w || true
      touch "$WINEPREFIX/.zivo-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Keeps one wineserver alive for the whole run: each Wine start then costs far less.
zivo_wineserver() {
  wineserver -p >/dev/null 2>&1 || true
  zivo_on_exit "wineserver -k"
  # One program first, so the desktop and services are up before tests start
  # side by side (several first programs at once can hang in start-up).
  timeout 60 "$ZIVO_WINE" cmd.exe /c exit 0 >/dev/null 2>&1 || true
}

# Starts Xvfb on a free display unless one is given; exports DISPLAY.
zivo_xvfb() {
  if [ -n "${DISPLAY:-}" ] && [ -z "${ZIVO_FORCE_XVFB:-}" ]; then return 0; fi
  local n
  for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
      local pid=$!
      local t
      for t in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X${n}" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
      done
      if [ -e "/tmp/.X11-unix/X${n}" ]; then
        export DISPLAY=":$n"
        zivo_on_exit "kill $pid"
        return 0
      fi
    fi
  done
  echo "harness: no Xvfb display could be started" >&2
  return 1
}

# zivo_cable A B: a virtual null-modem cable between COM<A> and COM<B> of the
# prefix. The pty ends are ZIVO_PTY_<A> and ZIVO_PTY_<B> for Linux-side use.
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
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$(readlink -f "$dir/com$a")" "$WINEPREFIX/dosdevices/com$a"
  ln -sfn "$(readlink -f "$dir/com$b")" "$WINEPREFIX/dosdevices/com$b"
  export "ZIVO_PTY_$a=$dir/com$a" "ZIVO_PTY_$b=$dir/com$b"
  zivo_on_exit "rm -f '$WINEPREFIX/dosdevices/com$a' '$WINEPREFIX/dosdevices/com$b'; kill $pid; rm -rf '$dir'"
}

# Removes a COM mapping so that the number has nothing behind it.
zivo_no_port() {
  rm -f "$WINEPREFIX/dosdevices/com$1"
}

# Screenshot of the whole X screen into a PNG.
zivo_screenshot() {
  xwd -root -silent | /usr/bin/convert xwd:- "$1"
}
