package com.velto.printer;

import java.io.IOException;
import java.io.OutputStream;
import java.util.Arrays;
import java.util.Objects;

/** {@link UsbPrinter#outputStream()}: every write is one write to the printer. */
final class PrinterOutputStream extends OutputStream {
  private final UsbPrinter printer;

  PrinterOutputStream(UsbPrinter printer) {
    this.printer = printer;
  }

  @Override
  public void write(int b) throws IOException {
    printer.write(new byte[] {(byte) b});
  }

  @Override
  public void write(byte[] b, int off, int len) throws IOException {
    Objects.checkFromIndexSize(off, len, b.length);
    printer.write(off == 0 && len == b.length ? b : Arrays.copyOfRange(b, off, off + len));
  }

  @Override
  public void close() throws IOException {
    printer.close();
  }
}
