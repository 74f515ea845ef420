#!/usr/bin/env bash
# Checks the import and export tables of a Windows build of the library.
#
#   tools/windows/check-dll.sh OBJDUMP DLL production|seam
#
# The DLL is of the PE machine its toolchain names (i386 for i686, x86-64).
# Both builds export exactly the twelve natives and the printer natives
# (com.velto.printer.internal.NativePrinters) under their plain JNI names
# (what the JVM finds) and import only KERNEL32, SETUPAPI, CFGMGR32 (the
# device tree above a printer, for its identity) and the C runtime.
# The production build holds nothing of the pipe seam.
set -euo pipefail
objdump=$1 dll=$2 kind=$3

natives="usbClosePipe usbGetBytesAvailable usbGetCommTimeout usbGetErrorString
usbGetGenericReadValue usbGetGenericWriteValue usbGetLastError usbInitPipe usbPurgeRequest
usbReadInputPipe usbSetCommTimeout usbWriteOutputPipe"
printer_natives="bytesAvailable closePipe deviceId freeSession getCommTimeout initPipe lastError
list openSession portStatus purge read setCommTimeout write writeTimed"
expected=$({
  for n in $natives; do echo "Java_com_velto_printer_UsbPort_$n"; done
  for n in $printer_natives; do echo "Java_com_velto_printer_internal_NativePrinters_$n"; done
} | sort)

dump=$("$objdump" -p "$dll")
imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^\t\[/ {print $3; next} t {t=0}' \
  <<<"$dump" | sort)
status=0
fail() { echo "FAIL: $*"; status=1; }

echo "$dll"
case $(basename "$objdump") in
  i686-*) want_format=pei-i386 ;;
  x86_64-*) want_format=pei-x86-64 ;;
  *) echo "check-dll.sh: no PE machine known for $objdump" >&2; exit 2 ;;
esac
format=$("$objdump" -f "$dll" | sed -n 's/.*file format //p')
if [ "$format" = "$want_format" ]; then
  echo "machine: $format"
else
  fail "machine is ${format:-unknown}, not $want_format"
fi
echo "imports: $(tr '\n' ' ' <<<"$imports")"
while read -r dllname; do
  [ -z "$dllname" ] && continue
  case ${dllname,,} in
    kernel32.dll | setupapi.dll | cfgmgr32.dll | msvcrt.dll | api-ms-win-crt-*.dll) ;;
    *) fail "unexpected import $dllname" ;;
  esac
done <<<"$imports"
grep -qix kernel32.dll <<<"$imports" || fail "no KERNEL32 import"
[ "$kind" = production ] && { grep -qix setupapi.dll <<<"$imports" || fail "no SETUPAPI import"; }

if [ "$exports" != "$expected" ]; then
  fail "exports are not exactly the twelve natives and the printer natives:"
  diff <(echo "$expected") <(echo "$exports") || true
else
  echo "exports: the twelve natives and the printer natives"
fi
grep -q '@' <<<"$exports" && fail "decorated export names (stdcall @N): link with --kill-at"

case $kind in
  production)
    if grep -qi seam <<<"$dump" || grep -aq 'velto-seam' "$dll"; then
      fail "the production DLL contains the pipe seam"
    fi
    ;;
  seam)
    grep -aq 'velto-seam' "$dll" || fail "the seam build holds no pipe seam"
    ;;
  *) echo "check-dll.sh: kind must be production or seam" >&2; exit 2 ;;
esac
[ $status = 0 ] && echo "OK"
exit $status
