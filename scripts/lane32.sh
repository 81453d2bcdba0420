#!/usr/bin/env bash
# The 32-bit lane: runs real i686 Windows programs on a machine whose kernel runs no 32-bit
# user code, with Debian's 32-bit Wine under qemu-user. Nothing global is changed: the i386
# Wine packages are unpacked into a sysroot under build/deps/lane32 (the machine's own apt
# sources, a private apt state), and i386 ELF files reach qemu through a binfmt_misc instance
# registered inside a private user + mount namespace.
#
#   lane32.sh setup            install the lane (idempotent; seconds when it is there)
#   lane32.sh exec CMD...      run CMD inside the lane's namespace (a no-op wrapper where
#                              the machine runs 32-bit Wine itself)
#   lane32.sh mode             print "lane" or "native"
#
# On a machine with i386 multiarch and 32-bit Wine installed (an ordinary Debian), that Wine is
# used as it is and setup installs nothing of the lane.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LANE="${ZIVO_LANE:-$ROOT/build/deps/lane32}"
SYSROOT="$LANE/sysroot"
# Bump when the sysroot's contents or the preload library change.
LANE_VERSION=1
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# Native 32-bit Wine: the machine runs i386 code and Debian's wine32 is installed.
native_wine32() {
  [ -x /usr/lib/wine/wine ] && [ -f /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll ] &&
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

mode() { if native_wine32; then echo native; else echo lane; fi; }

install_host_packages() {
  local p missing=()
  for p in qemu-user-static wine64 xvfb; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
  fi
}

# wine32 and its i386 closure, downloaded with a private apt state (so the machine gains no
# i386 architecture) from the same archive the machine's own sources name.
download_i386_packages() {
  local A=$LANE/apt f
  rm -rf "$A"
  mkdir -p "$A/state/lists/partial" "$A/cache/archives/partial" "$A/sources.list.d"
  : >"$A/status"
  : >"$A/sources.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -qE '^Types:(.* )?deb( |$)' "$f" || continue
    sed -e '/^Types:/c\Types: deb' -e '/^Architectures:/d' -e '/^Types:/a\Architectures: i386' "$f" \
      >"$A/sources.list.d/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(\[[^]]*\] \)\?/deb [arch=i386] /p' /etc/apt/sources.list >"$A/sources.list"
  fi
  cat >"$A/apt.conf" <<CONF
Dir::State "$A/state";
Dir::State::status "$A/status";
Dir::Cache "$A/cache";
Dir::Etc::SourceList "$A/sources.list";
Dir::Etc::SourceParts "$A/sources.list.d";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "/dev/null";
APT::Architecture "i386";
APT::Architectures { "i386"; };
Debug::NoLocking "true";
APT::Install-Recommends "false";
CONF
  APT_CONFIG=$A/apt.conf apt-get update -qq
  # The X extension libraries are recommends of wine32 that winex11 loads at run time.
  APT_CONFIG=$A/apt.conf apt-get install -y -qq --download-only wine32 libwine libxcomposite1 libxcursor1 \
    libxfixes3 libxi6 libxinerama1 libxrandr2 libxrender1 libxxf86vm1 >/dev/null
}

build_sysroot() {
  local d in out
  rm -rf "$SYSROOT"
  mkdir -p "$SYSROOT"
  for d in "$LANE"/apt/cache/archives/*.deb; do dpkg-deb -x "$d" "$SYSROOT"; done
  # What libwine's install script does: zlib1.dll carries the builtin marker at offset 64,
  # or user32 fails to load.
  in=$SYSROOT/usr/i686-w64-mingw32/lib/zlib1.dll
  out=$SYSROOT/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } >"$out"
  # Its own loader cache: the host's 32-bit entries would send the i386 loader to /lib32.
  echo 'include /etc/ld.so.conf.d/*.conf' >"$SYSROOT/etc/ld.so.conf"
  ldconfig -r "$SYSROOT"
  gcc -m32 -O2 -fPIC -shared -nostdlib -fno-stack-protector -Wall -Werror \
    -o "$SYSROOT/usr/lib/i386-linux-gnu/trapfix.so" "$ROOT/tools/lane32/trapfix.c" \
    "$SYSROOT/lib/i386-linux-gnu/libc.so.6"
  printf '/usr/lib/i386-linux-gnu/trapfix.so\n/lib/i386-linux-gnu/libgcc_s.so.1\n' >"$SYSROOT/etc/ld.so.preload"
  echo 65536 >"$LANE/mmap_min_addr"
}

setup() {
  if native_wine32; then return 0; fi
  install_host_packages
  local stamp="$LANE/.ready-$LANE_VERSION-$(sha1sum <"$ROOT/tools/lane32/trapfix.c" | cut -c1-12)"
  [ -f "$stamp" ] && return 0
  mkdir -p "$LANE"
  (
    flock 9
    [ -f "$stamp" ] && exit 0
    local t0=$SECONDS
    echo "lane32: setting up the 32-bit lane in $LANE"
    download_i386_packages
    build_sysroot
    rm -f "$LANE"/.ready-*
    touch "$stamp"
    echo "lane32: sysroot ready in $((SECONDS - t0)) s"
  ) 9>"$LANE.lock"
}

# Enters a private user + mount namespace with its own binfmt_misc instance (i386 ELF ->
# qemu-i386-static; kernels from 6.7 keep one per user namespace, the machine's table stays
# untouched), guest base 0 and mmap_min_addr shown as the kernel's real floor.
enter() {
  if [ "$(mode)" = native ] || [ -n "${ZIVO_LANE32_NS:-}" ]; then exec "$@"; fi
  export ZIVO_LANE32_NS=1
  exec unshare --user --map-root-user --mount "$0" __inside "$@"
}

inside() {
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' \
    >/proc/sys/fs/binfmt_misc/register
  # qemu places guest address G at host G + guest_base (0x1000 by default here) while the
  # native wineserver serves ReadProcessMemory/WriteProcessMemory through /proc/PID/mem at the
  # guest address: guest base 0 makes them agree. qemu then wants mmap_min_addr to read 65536.
  # ZIVO_LANE32_GUEST_BASE=default shows the fault (for checking the test that guards it).
  if [ "${ZIVO_LANE32_GUEST_BASE:-0}" = 0 ]; then
    mount --bind "$LANE/mmap_min_addr" /proc/sys/vm/mmap_min_addr
    export QEMU_GUEST_BASE=0
  fi
  exec "$@"
}

case "${1:-}" in
  setup) setup ;;
  mode) mode ;;
  exec) shift; enter "$@" ;;
  __inside) shift; inside "$@" ;;
  *) echo "usage: $0 setup | exec CMD... | mode" >&2; exit 2 ;;
esac
