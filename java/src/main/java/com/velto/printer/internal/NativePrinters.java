package com.velto.printer.internal;

/**
 * The natives of {@code veltousb} beside the twelve of {@code UsbPort}: every printer the library
 * can reach, and a session per opened printer, each with its own handles, receiver and ring. Not
 * an API: {@link com.velto.printer.UsbPrinter} is built on it.
 *
 * <p>A session is bound to one interface path and USB type; its pipe, transfer, time-out, purge
 * and close calls behave as the {@code UsbPort} natives of the same names do on the default
 * printer. A session number is never handed out twice: one that was freed fails like a bad handle
 * (error 6).
 */
public final class NativePrinters {
  static {
    NativeLoader.load("veltousb", NativePrinters.class, System::load, System::loadLibrary);
  }

  /** How many strings {@link #list()} gives for each printer. */
  public static final int PRINTER_FIELDS = 10;

  private NativePrinters() {}

  /**
   * Every printer, native class first, {@link #PRINTER_FIELDS} strings each: USB type, interface
   * path, vendor id, product id (decimal, -1 when unknown), serial number, manufacturer, product,
   * location, the USB device's instance id (each null when the system has none), and "1" when the
   * device table accepts the printer, else "0". Opens nothing; null only when the JVM is out of
   * memory.
   */
  public static native String[] list();

  /** A session on one printer; 0 when it cannot be made ({@link #lastError()} says why). */
  public static native long openSession(String interfacePath, int usbType);

  /**
   * Forgets a session whose pipes are closed: 0, 6 for an unknown session, or 170 (busy, kept)
   * while its receiver runs or a handle stays stored.
   */
  public static native int freeSession(long session);

  /** As {@code usbInitPipe}: stores the handle into {@code port.hReadPort} or {@code hWritePort}. */
  public static native int initPipe(long session, Object port, int access);

  public static native int read(long session, int handle, byte[] data);

  public static native int write(long session, int handle, byte[] data);

  public static native int closePipe(long session, int handle);

  public static native int getCommTimeout(long session, int handle);

  public static native int setCommTimeout(
      long session,
      int handle,
      int readInterval,
      int readTotalMultiplier,
      int readTotalConstant,
      int writeTotalMultiplier,
      int writeTotalConstant);

  public static native int purge(long session, int handle);

  public static native int bytesAvailable(long session);

  /**
   * The 1284 status byte of a printer-class printer (0..255), asked through the session's write
   * handle; -1 with {@link #lastError()} set when the request fails, also on a native-type
   * session (1, {@code ERROR_INVALID_FUNCTION}; nothing is sent).
   */
  public static native int portStatus(long session, int handle);

  /**
   * The device id text of a printer-class printer, without its length prefix, stored into {@code
   * data} from index 0 (cut to its length); the number of bytes stored, or -1 as {@link
   * #portStatus}.
   */
  public static native int deviceId(long session, int handle, byte[] data);

  /** The calling thread's last Windows error, as the natives left it. */
  public static native int lastError();

  /**
   * Writes {@code data[offset, offset + length)} and returns how many of those bytes the printer
   * took, at most within {@code timeoutMs}: the request still in flight then, or when the calling
   * thread is interrupted (looked at every 100 ms), is cancelled, exactly that one. A count below
   * {@code length} leaves {@link #lastError()} at 258 ({@code WAIT_TIMEOUT}) for the time-out, 995
   * for the interrupt or a close, 0 when the driver took less and called it done, else the write's
   * error. -1 when the write failed, not timed out, before anything went out: a failed or ended
   * write, a bad session or handle, bad bounds (87).
   */
  public static native int writeTimed(
      long session, int handle, byte[] data, int offset, int length, int timeoutMs);
}
