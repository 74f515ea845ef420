package com.velto.printer.internal;

/**
 * One printer's session in the library, with the pipe handles its opens store, named as the
 * {@code UsbPort} natives name them. Not an API.
 */
public final class PrinterSession {
  /** Written by {@link #initPipe} for the read pipe. */
  public int hReadPort;

  /** Written by {@link #initPipe} for the write pipe. */
  public int hWritePort;

  private final long session;

  private PrinterSession(long session) {
    this.session = session;
  }

  /** A session bound to the printer at {@code interfacePath}; null with the last error set. */
  public static PrinterSession open(String interfacePath, int usbType) {
    long session = NativePrinters.openSession(interfacePath, usbType);
    return session == 0 ? null : new PrinterSession(session);
  }

  public int initPipe(int access) {
    return NativePrinters.initPipe(session, this, access);
  }

  public int read(int handle, byte[] data) {
    return NativePrinters.read(session, handle, data);
  }

  public int writeTimed(int handle, byte[] data, int offset, int length, int timeoutMs) {
    return NativePrinters.writeTimed(session, handle, data, offset, length, timeoutMs);
  }

  public int closePipe(int handle) {
    return NativePrinters.closePipe(session, handle);
  }

  public int getCommTimeout(int handle) {
    return NativePrinters.getCommTimeout(session, handle);
  }

  public int setCommTimeout(int handle, int interval, int multiplier, int constant) {
    return NativePrinters.setCommTimeout(session, handle, interval, multiplier, constant, 0, 0);
  }

  public int purge(int handle) {
    return NativePrinters.purge(session, handle);
  }

  public int bytesAvailable() {
    return NativePrinters.bytesAvailable(session);
  }

  public int portStatus(int handle) {
    return NativePrinters.portStatus(session, handle);
  }

  public int deviceId(int handle, byte[] data) {
    return NativePrinters.deviceId(session, handle, data);
  }

  /** Forgets the session once its pipes are closed; see {@link NativePrinters#freeSession}. */
  public int free() {
    return NativePrinters.freeSession(session);
  }
}
