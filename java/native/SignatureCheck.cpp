// Compile-time check that the Java declarations of the natives (the headers
// javac writes for UsbPort.java and NativePrinters.java) and the library's
// declarations agree: a C function declared twice with different parameters
// or result is an error.
#include "com_velto_printer_UsbPort.h"
#include "com_velto_printer_internal_NativePrinters.h"
#include "jni/PrinterNatives.h"
#include "jni/UsbPort.h"
