package com.velto.printer;

import java.io.IOException;

/** {@link UsbPrinter#open()} found no printer of the kinds the library knows. */
public class PrinterNotFoundException extends IOException {
  private static final long serialVersionUID = 1L;

  public PrinterNotFoundException(String message) {
    super(message);
  }
}
