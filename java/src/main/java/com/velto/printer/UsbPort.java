package com.velto.printer;

import com.velto.printer.internal.NativeLoader;

/**
 * Byte-level access to one USB printer through the native library {@code veltousb}.
 *
 * <p>The library finds the printer by itself: it searches the device interfaces of the vendor's
 * native driver and then those of the USB printer class, and the class in which it finds the
 * printer decides the USB type of the session ({@link #USB_TYPE_NATIVE} or {@link
 * #USB_TYPE_PRINTER_CLASS}). A driver opens the read pipe and the write pipe with {@link
 * #usbInitPipe}, which stores the pipe's handle into {@link #hReadPort} or {@link #hWritePort}, and
 * passes those handles back to the transfer, time-out, purge and close natives.
 *
 * <p>Loading: the class loads the library by itself when it is initialised, from the first of
 * these that works: the folder named by {@code -Dveltousb.library.path}; {@code
 * System.loadLibrary("veltousb")}, which searches {@code java.library.path}; the natives inside the
 * jar for this OS and architecture, put into a per-user cache folder (or, when that fails, into the
 * JVM's temp folder). When none works, an {@link UnsatisfiedLinkError} lists what was tried and
 * why each failed. On Linux the library runs on the Win32 emulation {@code libwin32emu.so}, which
 * the jar carries beside it.
 *
 * <p>{@link UsbPrinter} is the Java API above these natives; this class is the low-level layer.
 *
 * <p>No native throws a Java exception: every outcome is its return value. The library keeps one
 * session per process, shared by every {@code UsbPort} object. Open the pipes from one thread at a
 * time and not while a close runs; reads, writes and a close may come from different threads.
 */
public class UsbPort {
  static {
    NativeLoader.load("veltousb", UsbPort.class, System::load, System::loadLibrary);
  }

  /** USB type of a printer found through the vendor's native driver. */
  public static final int USB_TYPE_NATIVE = 0;

  /** USB type of a printer found through the USB printer class driver. */
  public static final int USB_TYPE_PRINTER_CLASS = 1;

  /** USB type that detection reports when it cannot tell. */
  public static final int USB_TYPE_UNKNOWN = -1;

  /** The handle of the read pipe, stored here by {@link #usbInitPipe} with the read access value. */
  public int hReadPort;

  /**
   * The handle of the write pipe, stored here by {@link #usbInitPipe} with the write access value.
   */
  public int hWritePort;

  /**
   * The access value that selects the read pipe in {@link #usbInitPipe}.
   *
   * @return {@code GENERIC_READ}, 0x80000000, which Java sees as -2147483648
   */
  public native int usbGetGenericReadValue();

  /**
   * The access value that selects the write pipe in {@link #usbInitPipe}.
   *
   * @return {@code GENERIC_WRITE}, 0x40000000 (1073741824)
   */
  public native int usbGetGenericWriteValue();

  /**
   * Detects the printer's USB type, locates its device interface and opens one pipe. The read
   * access value opens the read pipe and stores its handle into {@code port.hReadPort}; the write
   * access value opens the write pipe and stores its handle into {@code port.hWritePort}. The write
   * handle, and the read handle of a printer-class printer, are kept by the library: a later open
   * of the same pipe returns the same handle until it is closed. Opening the read pipe of a
   * printer-class printer starts its receiver, which reads the printer continuously into a 4096-byte
   * buffer.
   *
   * @param port the object whose {@code hReadPort} or {@code hWritePort} receives the handle
   * @param access {@link #usbGetGenericReadValue()} or {@link #usbGetGenericWriteValue()}
   * @return the USB type, {@link #USB_TYPE_NATIVE} (0) or {@link #USB_TYPE_PRINTER_CLASS} (1), once
   *     the handle is stored; -1 when no printer is found, the pipe cannot be opened, the access
   *     value is neither of the two, or the printer-class session cannot be started. On -1 the port
   *     object is not changed.
   */
  public native int usbInitPipe(UsbPort port, int access);

  /**
   * Reads bytes from the printer into {@code data}, from index 0, at most {@code data.length}.
   * Native type: one synchronous read on {@code handle}, which blocks as the driver's time-outs
   * (see {@link #usbSetCommTimeout}) say. Printer class: takes the bytes that the receiver has
   * buffered, waiting up to 100 ms for some to arrive; {@code handle} is not used.
   *
   * @param handle the read handle from {@link #hReadPort}
   * @param data the array that receives the bytes; elements past the bytes read keep their values
   * @return the number of bytes stored into {@code data} (0 when a native-type read succeeded
   *     without data); -1 when the read failed, when no byte arrived within 100 ms on a
   *     printer-class printer, when the session is being closed, or when {@code data} is null. After
   *     -1 the array is untouched.
   */
  public native int usbReadInputPipe(int handle, byte[] data);

  /**
   * Writes all of {@code data} to the printer in one synchronous request through the library's
   * stored write handle, whatever {@code handle} holds (it shows only in the debugger output). A
   * request that the printer takes only in part counts as success.
   *
   * @param handle the write handle from {@link #hWritePort}
   * @param data the bytes to write
   * @return 0 when the request succeeded; otherwise the Windows error code, for example {@code
   *     ERROR_INVALID_HANDLE} (6) when no write pipe is open, {@code ERROR_DEVICE_NOT_CONNECTED}
   *     (1167) when the printer was removed, or {@code ERROR_INVALID_PARAMETER} (87) when {@code
   *     data} is null
   */
  public native int usbWriteOutputPipe(int handle, byte[] data);

  /**
   * Closes a pipe. Native type: closes {@code handle}; the next write open then opens a new write
   * handle. Printer class: stops the receiver and closes the library's read and write handles,
   * whichever handle is passed.
   *
   * @param handle a handle from {@link #hReadPort} or {@link #hWritePort}
   * @return 0 on success. On failure: native type, the Windows error code (for example {@code
   *     ERROR_INVALID_HANDLE}, 6, for a handle already closed); printer class, 1 when waiting for
   *     the receiver failed (nothing is released then, and a later close tries again).
   */
  public native int usbClosePipe(int handle);

  /**
   * The number of bytes the receiver of a printer-class printer has buffered and no read has
   * taken yet.
   *
   * @return that number, 0 to 4096; 0 when no printer-class read pipe is open
   */
  public native int usbGetBytesAvailable();

  /**
   * Queries the native driver's read time-out.
   *
   * @param handle an open handle of a native-type printer
   * @return the driver's {@code ReadTotalTimeoutConstant} in milliseconds (values from 0x80000000
   *     up arrive negative); the Windows error code when the query fails (the caller cannot tell it
   *     from a time-out by value); 1 for a printer-class printer, whose driver has no time-outs
   */
  public native int usbGetCommTimeout(int handle);

  /**
   * Sets the native driver's time-outs, in the field order of Windows' {@code COMMTIMEOUTS}, in
   * milliseconds. Each argument is stored as its 32-bit pattern, so -1 stands for {@code MAXDWORD}.
   * A field that the driver reports as 0xFFFFFFFE keeps its value whatever its argument.
   *
   * @param handle an open handle of a native-type printer
   * @param readInterval the longest gap between two bytes of one read
   * @param readTotalMultiplier per byte asked for, added to the read's total time-out
   * @param readTotalConstant added to the read's total time-out
   * @param writeTotalMultiplier per byte written, added to the write's total time-out
   * @param writeTotalConstant added to the write's total time-out
   * @return the calling thread's last Windows error code after the request (0 usually means it was
   *     taken, as the library does not reset it beforehand); 1 for a printer-class printer, for
   *     which nothing is sent
   */
  public native int usbSetCommTimeout(
      int handle,
      int readInterval,
      int readTotalMultiplier,
      int readTotalConstant,
      int writeTotalMultiplier,
      int writeTotalConstant);

  /**
   * Ends the native driver's pending reads and clears its input buffer ({@code PurgeComm} with
   * {@code PURGE_RXABORT | PURGE_RXCLEAR}).
   *
   * @param handle an open handle of a native-type printer
   * @return the calling thread's last Windows error code after the request; 1 for a printer-class
   *     printer, for which nothing is sent
   */
  public native int usbPurgeRequest(int handle);

  /**
   * The calling thread's last Windows error code. Meaningful when asked on the same thread right
   * after the native that failed.
   *
   * @return the Windows error code
   */
  public native int usbGetLastError();

  /**
   * The system's message text for a Windows error code.
   *
   * @param code a Windows error code
   * @return the text as the system gives it, line break at its end included (for example "Access
   *     is denied.\r\n" for 5); for a code without text, "FormatMessage failed: 0\n"
   */
  public native String usbGetErrorString(int code);
}
