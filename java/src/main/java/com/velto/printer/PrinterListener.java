package com.velto.printer;

/**
 * Hears printers come and go: see {@link UsbPrinter#addListener(PrinterListener)}. Both methods do
 * nothing unless overridden.
 */
public interface PrinterListener {
  /** A printer the library can reach appeared (plugged in, switched on, its driver loaded). */
  default void attached(PrinterInfo printer) {}

  /** A printer went away; {@code printer} is what the listing said of it while it was there. */
  default void detached(PrinterInfo printer) {}

  /** A listener's place among the listeners: closing it removes the listener. */
  interface Registration extends AutoCloseable {
    @Override
    void close();
  }
}
