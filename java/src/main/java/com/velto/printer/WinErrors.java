package com.velto.printer;

import java.util.Set;

/** How {@link UsbPrinter} reads the Windows error codes that the natives report. */
final class WinErrors {
  static final int ERROR_SUCCESS = 0;
  static final int WAIT_TIMEOUT = 258;
  static final int ERROR_ACCESS_DENIED = 5;
  static final int ERROR_OPERATION_ABORTED = 995;

  /** The codes a driver answers for a printer that is unplugged, switched off or being removed. */
  private static final Set<Integer> GONE =
      Set.of(
          1167, // ERROR_DEVICE_NOT_CONNECTED
          31, // ERROR_GEN_FAILURE
          433, // ERROR_NO_SUCH_DEVICE
          22, // ERROR_BAD_COMMAND
          2, // ERROR_FILE_NOT_FOUND
          5, // ERROR_ACCESS_DENIED
          6); // ERROR_INVALID_HANDLE

  /** The codes an open that found no printer leaves. */
  private static final Set<Integer> NOT_FOUND =
      Set.of(
          0,
          2, // ERROR_FILE_NOT_FOUND
          3, // ERROR_PATH_NOT_FOUND
          259, // ERROR_NO_MORE_ITEMS
          433, // ERROR_NO_SUCH_DEVICE
          1167); // ERROR_DEVICE_NOT_CONNECTED

  private static final UsbPort TEXT = new UsbPort();

  private WinErrors() {}

  static boolean gone(int code) {
    return GONE.contains(code);
  }

  static boolean notFound(int code) {
    return NOT_FOUND.contains(code);
  }

  /** The system's text for {@code code} without its line break, or "Windows error <code>". */
  static String text(int code) {
    String s = TEXT.usbGetErrorString(code);
    s = s == null ? "" : s.trim();
    return s.isEmpty() || s.startsWith("FormatMessage failed") ? "Windows error " + code : s;
  }
}
