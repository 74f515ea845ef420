package com.velto.printer;

import java.io.IOException;

/**
 * A read or write found the printer gone: unplugged, switched off, or not back yet. The same
 * {@link UsbPrinter} works again once the printer is back.
 */
public class PrinterDisconnectedException extends IOException {
  private static final long serialVersionUID = 1L;

  private final int errorCode;

  /**
   * @param errorCode the Windows error code that told the printer is gone
   * @param message the system's text for it
   */
  public PrinterDisconnectedException(int errorCode, String message) {
    super(message);
    this.errorCode = errorCode;
  }

  /** The Windows error code that told the printer is gone, for example 1167. */
  public int errorCode() {
    return errorCode;
  }
}
