#!/bin/sh
# Usage: check_exports.sh <module>
# Fails unless the module's defined dynamic symbols are exactly the twelve
# natives of com.velto.printer.UsbPort and the printer natives of
# com.velto.printer.internal.NativePrinters (symbols the linker adds on its
# own are ignored).
set -eu
module=$1

expected="Java_com_velto_printer_UsbPort_usbClosePipe
Java_com_velto_printer_UsbPort_usbGetBytesAvailable
Java_com_velto_printer_UsbPort_usbGetCommTimeout
Java_com_velto_printer_UsbPort_usbGetErrorString
Java_com_velto_printer_UsbPort_usbGetGenericReadValue
Java_com_velto_printer_UsbPort_usbGetGenericWriteValue
Java_com_velto_printer_UsbPort_usbGetLastError
Java_com_velto_printer_UsbPort_usbInitPipe
Java_com_velto_printer_UsbPort_usbPurgeRequest
Java_com_velto_printer_UsbPort_usbReadInputPipe
Java_com_velto_printer_UsbPort_usbSetCommTimeout
Java_com_velto_printer_UsbPort_usbWriteOutputPipe
$(for n in bytesAvailable closePipe deviceId freeSession getCommTimeout initPipe lastError list \
    openSession portStatus purge read setCommTimeout write writeTimed; do
  echo "Java_com_velto_printer_internal_NativePrinters_$n"
done)"
expected=$(printf '%s\n' "$expected" | LC_ALL=C sort)

symbols=$(nm -D --defined-only "$module" | awk 'NF >= 3 { print $3 }' | sed 's/@.*//' |
  grep -v -x -e _init -e _fini -e __bss_start -e _edata -e _end | LC_ALL=C sort -u)

if [ "$symbols" = "$expected" ]; then
  echo "exports: the twelve natives and the printer natives, nothing else"
  exit 0
fi
echo "exports of $module differ from the twelve natives and the printer natives:" >&2
printf '%s\n' "$expected" > "${TMPDIR:-/tmp}/exports-expected.$$"
printf '%s\n' "$symbols" > "${TMPDIR:-/tmp}/exports-actual.$$"
diff "${TMPDIR:-/tmp}/exports-expected.$$" "${TMPDIR:-/tmp}/exports-actual.$$" >&2 || true
rm -f "${TMPDIR:-/tmp}/exports-expected.$$" "${TMPDIR:-/tmp}/exports-actual.$$"
exit 1
