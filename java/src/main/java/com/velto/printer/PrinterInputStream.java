package com.velto.printer;

import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.util.Objects;

/** {@link UsbPrinter#inputStream()}: blocking reads in steps, so that an interrupt is seen. */
final class PrinterInputStream extends InputStream {
  private final UsbPrinter printer;

  PrinterInputStream(UsbPrinter printer) {
    this.printer = printer;
  }

  @Override
  public int read() throws IOException {
    byte[] one = new byte[1];
    read(one, 0, 1);
    return one[0] & 0xff;
  }

  @Override
  public int read(byte[] b, int off, int len) throws IOException {
    Objects.checkFromIndexSize(off, len, b.length);
    if (len == 0) {
      return 0;
    }
    byte[] buffer = off == 0 && len == b.length ? b : new byte[len];
    while (true) {
      if (Thread.currentThread().isInterrupted()) {
        throw new InterruptedIOException("interrupted while waiting for the printer");
      }
      int n = printer.read(buffer, UsbPrinter.streamStep());
      if (n > 0) {
        if (buffer != b) {
          System.arraycopy(buffer, 0, b, off, n);
        }
        return n;
      }
    }
  }

  /** What the library's receiver holds for a printer-class printer (0 on the native type). */
  @Override
  public int available() throws IOException {
    return printer.available();
  }

  @Override
  public void close() throws IOException {
    printer.close();
  }
}
