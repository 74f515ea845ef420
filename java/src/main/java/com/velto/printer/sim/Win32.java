package com.velto.printer.sim;

/** The Windows error codes and request flags that the library and the simulator use. */
public final class Win32 {
  private Win32() {}

  public static final int ERROR_SUCCESS = 0;
  public static final int ERROR_FILE_NOT_FOUND = 2;
  public static final int ERROR_ACCESS_DENIED = 5;
  public static final int ERROR_INVALID_HANDLE = 6;
  public static final int ERROR_NOT_ENOUGH_MEMORY = 8;
  public static final int ERROR_GEN_FAILURE = 31;
  public static final int ERROR_HANDLE_EOF = 38;
  public static final int ERROR_INVALID_PARAMETER = 87;
  public static final int ERROR_INSUFFICIENT_BUFFER = 122;
  public static final int ERROR_NO_MORE_ITEMS = 259;
  public static final int ERROR_OPERATION_ABORTED = 995;
  public static final int ERROR_IO_INCOMPLETE = 996;
  public static final int ERROR_IO_PENDING = 997;
  public static final int ERROR_DEVICE_NOT_CONNECTED = 1167;

  public static final int PURGE_TXABORT = 0x1;
  public static final int PURGE_RXABORT = 0x2;
  public static final int PURGE_TXCLEAR = 0x4;
  public static final int PURGE_RXCLEAR = 0x8;

  /** {@code MAXDWORD} as a Java int. */
  public static final int MAXDWORD = -1;
}
