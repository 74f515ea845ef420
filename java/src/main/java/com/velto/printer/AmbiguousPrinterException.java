package com.velto.printer;

import java.io.IOException;
import java.util.List;

/** {@link UsbPrinter#open(String)} was given an id that more than one attached printer has. */
public class AmbiguousPrinterException extends IOException {
  private static final long serialVersionUID = 1L;

  private final transient List<PrinterInfo> candidates;

  public AmbiguousPrinterException(String message, List<PrinterInfo> candidates) {
    super(message);
    this.candidates = List.copyOf(candidates);
  }

  /** The printers the id matched; open one of them by its own {@link PrinterInfo#id()}. */
  public List<PrinterInfo> candidates() {
    return candidates;
  }
}
