#!/usr/bin/env bash
# Runs Windows programs under Wine in a 64-bit prefix of our own.
#
#   tools/windows/wine.sh boot PREFIX         creates/updates the prefix (wineboot -i), starts a
#                                             lasting wineserver for it, and finds out whether
#                                             this machine runs 32-bit programs
#   tools/windows/wine.sh run PREFIX [--machine=i386|x86_64] EXE ARGS
#                                             runs EXE with the loader of its PE machine (or the
#                                             one given), its output with plain LF line ends; the
#                                             exit status is the program's, or 77 (skipped) when
#                                             EXE is 32-bit and this machine cannot run it
#   tools/windows/wine.sh can32 PREFIX        prints "yes", or why 32-bit programs cannot run
#                                             (found out at boot)
#   tools/windows/wine.sh probe32             finds that out afresh, without a prefix
#   tools/windows/wine.sh stop PREFIX         ends the prefix's wineserver (wineserver -k)
#
# 64-bit programs always go to the 64-bit loader: Debian's `wine` wrapper starts the
# 32-bit one whenever wine32 is installed, which a kernel without 32-bit support cannot
# execute. VELTO_NO_32BIT=1 treats this machine as one without 32-bit support.
set -euo pipefail
cmd=$1 prefix=${2:-}
shift $(($# < 2 ? $# : 2))

export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers on the first boot: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

skip_status=77
state=$prefix/velto-32bit
not_run="the i686 DLL was built and its exports and imports checked, but not run"

loader64() {
  if [ -x /usr/lib/wine/wine64 ]; then echo /usr/lib/wine/wine64; else command -v wine64; fi
}
loader32() {
  if [ -x /usr/lib/wine/wine ]; then echo /usr/lib/wine/wine; else command -v wine; fi
}

# "yes", or the one-line reason why 32-bit programs cannot run here.
probe32() {
  if [ "${VELTO_NO_32BIT:-0}" = 1 ]; then
    echo "32-bit programs turned off (VELTO_NO_32BIT=1): $not_run"
    return
  fi
  local wine32 out
  wine32=$(loader32) || true
  if [ -z "$wine32" ] || [ "$(od -An -tx1 -j4 -N1 "$wine32" 2>/dev/null | tr -d ' ')" != 01 ]; then
    echo "32-bit Wine is not installed (Debian: wine32:i386): $not_run"
    return
  fi
  if out=$("$wine32" --version 2>&1); then
    echo yes
  elif grep -qi "exec format error" <<<"$out"; then
    echo "this kernel cannot run 32-bit programs: $not_run"
  else
    echo "the 32-bit Wine loader does not start ($(head -1 <<<"$out")): $not_run"
  fi
}

can32() {
  [ -s "$state" ] || { mkdir -p "$prefix" && probe32 >"$state"; }
  cat "$state"
}

# The PE machine of a Windows program: i386 or x86_64.
pe_machine() {
  local off machine
  off=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((off + 4)) -N2 "$1" | tr -d ' ')
  case $machine in
    014c) echo i386 ;;
    8664) echo x86_64 ;;
    *) echo "wine.sh: $1 is not a PE program of a known machine ($machine)" >&2; return 1 ;;
  esac
}

case $cmd in
  boot)
    mkdir -p "$prefix"
    rm -f "$state"
    can32 >/dev/null
    # A prefix made by the 32-bit loader alone has no 64-bit half: make it anew.
    if grep -qs '^#arch=win32' "$prefix/system.reg"; then
      find "$prefix" -mindepth 1 -maxdepth 1 ! -name "$(basename "$state")" -exec rm -rf {} +
    fi
    # One server for the whole test run, until "stop" (or five idle minutes,
    # should "stop" never come); one that runs already is kept. The server
    # and the system processes that wineboot starts outlive this script:
    # they must not hold its output open, or whoever reads it (CTest) waits
    # for them.
    wineserver -p300 </dev/null >/dev/null 2>&1 || true
    if ! "$(loader64)" wineboot -i </dev/null >"$prefix/wineboot.log" 2>&1; then
      cat "$prefix/wineboot.log"
      exit 1
    fi
    echo "32-bit programs: $(can32)"
    ;;
  run)
    machine=""
    case $1 in --machine=*) machine=${1#--machine=}; shift ;; esac
    exe=$1
    shift
    # Where 32-bit programs cannot run, the i686 test programs are not built.
    [ -n "$machine" ] || machine=$(pe_machine "$exe")
    if [ "$machine" = i386 ]; then
      why=$(can32)
      if [ "$why" != yes ]; then
        echo "SKIPPED: $why"
        exit $skip_status
      fi
      loader=$(loader32)
    elif [ "$machine" != x86_64 ]; then
      echo "wine.sh: unknown machine $machine" >&2
      exit 2
    else
      loader=$(loader64)
    fi
    set -o pipefail
    # Windows programs end their lines with CR LF.
    "$loader" "$exe" "$@" </dev/null 2>&1 | tr -d '\r'
    ;;
  can32)
    can32
    ;;
  probe32)
    probe32
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "wine.sh: unknown command $cmd" >&2
    exit 2
    ;;
esac
