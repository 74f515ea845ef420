#!/usr/bin/env bash
# Runs Windows programs under Wine in a prefix of our own.
#
#   tools/windows/wine.sh boot PREFIX         creates/updates the prefix (wineboot -i) and
#                                             starts a lasting wineserver for it
#   tools/windows/wine.sh run PREFIX EXE ARGS runs EXE, its output with plain LF line ends;
#                                             the exit status is the program's
#   tools/windows/wine.sh stop PREFIX         ends the prefix's wineserver (wineserver -k)
set -euo pipefail
cmd=$1 prefix=$2
shift 2

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No Mono or Gecko installers on the first boot: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case $cmd in
  boot)
    mkdir -p "$prefix"
    # One server for the whole test run, until "stop" (or five idle minutes,
    # should "stop" never come); one that runs already is kept. The server
    # and the system processes that wineboot starts outlive this script:
    # they must not hold its output open, or whoever reads it (CTest) waits
    # for them.
    wineserver -p300 </dev/null >/dev/null 2>&1 || true
    if ! wineboot -i </dev/null >"$prefix/wineboot.log" 2>&1; then
      cat "$prefix/wineboot.log"
      exit 1
    fi
    ;;
  run)
    exe=$1
    shift
    set -o pipefail
    # Windows programs end their lines with CR LF.
    wine "$exe" "$@" </dev/null 2>&1 | tr -d '\r'
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "wine.sh: unknown command $cmd" >&2
    exit 2
    ;;
esac
