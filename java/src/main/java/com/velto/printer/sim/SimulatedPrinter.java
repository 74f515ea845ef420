package com.velto.printer.sim;

import java.nio.charset.StandardCharsets;
import java.util.List;

/**
 * A printer plugged into the simulator. It appears among the present device interfaces of its
 * interface class, and its interface path, bare or followed by a backslash and "PIPE00" or
 * "PIPE01", opens as a file. The printer sends the bytes given to {@link #send}, logs everything the
 * host writes ({@link #written()}), answers requests through responders, and can be scripted to
 * fail its next opens, reads and writes.
 *
 * <p>A native-class printer answers the serial time-out and purge requests like the vendor's
 * driver; its synchronous reads follow its time-out record the way a serial driver's do. A
 * printer-class printer refuses those requests.
 *
 * <p>Unplugging fails the handles open at that moment with {@code ERROR_DEVICE_NOT_CONNECTED}
 * (1167), pending reads included, for good: after {@link #replug()} only new opens work.
 */
public final class SimulatedPrinter {
  /** The two interface classes a printer can be plugged under. */
  public enum Kind {
    /** The vendor's native driver: the library's {@code USB_TYPE_NATIVE}. */
    NATIVE,
    /** The USB printer class driver: the library's {@code USB_TYPE_PRINTER_CLASS}. */
    PRINTER_CLASS
  }

  private final int id;
  private final Kind kind;
  private final String path;

  private SimulatedPrinter(int id, Kind kind, String path) {
    this.id = id;
    this.kind = kind;
    this.path = path;
  }

  /** Plugs in a native-class printer under the library's native interface class. */
  public static SimulatedPrinter plugNative(String path) {
    return plug(Kind.NATIVE, Simulator.nativePrinterInterfaceClass(), path);
  }

  /** Plugs in a USB printer class printer. */
  public static SimulatedPrinter plugPrinterClass(String path) {
    return plug(Kind.PRINTER_CLASS, Simulator.printerClassInterfaceClass(), path);
  }

  /**
   * Plugs in a printer of {@code kind} under the interface class {@code interfaceClass} (a GUID in
   * the form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}").
   *
   * @throws IllegalArgumentException when the path is empty, too long, already plugged, or the GUID
   *     is malformed
   */
  public static SimulatedPrinter plug(Kind kind, String interfaceClass, String path) {
    int id =
        SimNative.plug(
            kind == Kind.NATIVE ? 0 : 1, Simulator.bytes(interfaceClass), Simulator.bytes(path));
    if (id <= 0) {
      throw new IllegalArgumentException("cannot plug " + kind + " printer at " + path);
    }
    return new SimulatedPrinter(id, kind, path);
  }

  /**
   * An interface path as Windows builds it for a USB device, for the device table's pattern
   * {@code pattern} ("vid_xxxx&amp;pid_xxxx"), a serial number and the interface class.
   */
  public static String interfacePath(String pattern, String serial, String interfaceClass) {
    return "\\\\?\\usb#" + pattern + "#" + serial + "#" + interfaceClass;
  }

  /** A path for a native-class printer that the library recognises. */
  public static String nativePath(String serial) {
    List<String> patterns = Simulator.devicePatterns();
    return interfacePath(patterns.get(0), serial, Simulator.nativePrinterInterfaceClass());
  }

  /** A path for a printer-class printer that the library recognises. */
  public static String printerClassPath(String serial) {
    List<String> patterns = Simulator.devicePatterns();
    return interfacePath(
        patterns.get(patterns.size() - 1), serial, Simulator.printerClassInterfaceClass());
  }

  public Kind kind() {
    return kind;
  }

  /** The interface path, without pipe name. */
  public String path() {
    return path;
  }

  /** Removes the printer. False when it was not plugged. */
  public boolean unplug() {
    return SimNative.unplug(id);
  }

  /** Brings the printer back under the same path. False when it was plugged. */
  public boolean replug() {
    return SimNative.replug(id);
  }

  public boolean isPlugged() {
    return SimNative.isPlugged(id);
  }

  /**
   * What the driver answers for this printer's files once it has been unplugged, and to the
   * reads pending at the unplug: {@code ERROR_DEVICE_NOT_CONNECTED} (1167) by default. A driver
   * that reports a removed device as {@code ERROR_ACCESS_DENIED} (5) makes the library's
   * receiver reopen the device by itself. Kept across unplug and replug.
   *
   * @return false for the code 0 or a printer the simulator no longer knows
   */
  public boolean setRemovalError(int code) {
    return SimNative.setRemovalError(id, code);
  }

  /**
   * What the printer tells about itself, as the library's listing reads it: the manufacturer, the
   * product, the serial number (the last part of its USB device's instance id) and the location
   * (its port, such as "1-2"). A null text leaves that property out; a null serial makes a printer
   * without one, whose instance id Windows makes up from its port. Until set: "Velto", "Simulated
   * printer" (or "Simulated native printer"), "SIM" and the simulator's id in 4 digits, "1-" and
   * that id. Texts are ISO-8859-1.
   *
   * @return false for a serial number Windows would not take (empty, over 126 characters, not
   *     printable ASCII, or holding '#', '\', ',' or '/'), a text holding a NUL, or a printer the
   *     simulator no longer knows
   */
  public boolean setIdentity(String manufacturer, String product, String serial, String location) {
    return SimNative.setIdentity(
        id, orNull(manufacturer), orNull(product), orNull(serial), orNull(location));
  }

  private static byte[] orNull(String text) {
    return text == null ? null : Simulator.bytes(text);
  }

  /** Queues bytes from the printer to the host, for pending and later reads of the read pipe. */
  public boolean send(byte[] data) {
    return SimNative.send(id, data);
  }

  /** Queues the ISO-8859-1 bytes of {@code text} towards the host. */
  public boolean send(String text) {
    return send(text.getBytes(StandardCharsets.ISO_8859_1));
  }

  /** Bytes queued towards the host and not yet read. */
  public int pendingToHost() {
    return SimNative.pendingToHost(id);
  }

  /** Everything the host wrote, in order, through any of the printer's files. */
  public byte[] written() {
    return SimNative.written(id);
  }

  public void clearWritten() {
    SimNative.clearWritten(id);
  }

  /**
   * When the bytes the host has written end with {@code request}, the printer queues {@code reply}
   * towards the host. Up to 16 per printer; the same request again replaces its reply.
   */
  public boolean addResponder(byte[] request, byte[] reply) {
    return SimNative.addResponder(id, request, reply);
  }

  /** The next open of {@code pipe} fails with {@code error}. */
  public boolean scriptOpenError(Pipe pipe, int error) {
    return SimNative.scriptOpenError(id, pipe.code, error);
  }

  /** The next read on {@code pipe} fails with {@code error}; a pending read ends with it. */
  public boolean scriptReadError(Pipe pipe, int error) {
    return SimNative.scriptReadError(id, pipe.code, error);
  }

  /** The next read on {@code pipe} completes successfully with 0 bytes. */
  public boolean scriptZeroRead(Pipe pipe) {
    return SimNative.scriptZeroRead(id, pipe.code);
  }

  /** The next write on {@code pipe} fails with {@code error}, writing nothing. */
  public boolean scriptWriteError(Pipe pipe, int error) {
    return SimNative.scriptWriteError(id, pipe.code, error);
  }

  /** The next write on {@code pipe} succeeds but takes only {@code nBytes}. */
  public boolean scriptShortWrite(Pipe pipe, int nBytes) {
    return SimNative.scriptShortWrite(id, pipe.code, nBytes);
  }

  /**
   * The 1284 status byte this printer-class printer answers (0x20 paper empty, 0x10 selected, 0x08
   * no error); 0x18 until set.
   *
   * @return false for a value outside 0..255 or a printer the simulator no longer knows
   */
  public boolean setPortStatus(int status) {
    return status >= 0 && status <= 0xFF && SimNative.setPortStatus(id, status);
  }

  /**
   * The device id this printer-class printer answers, raw: the 2-byte big-endian length prefix and
   * the text, taken as given so that malformed ones can be played. Null makes the printer not
   * answer (the request fails with 31, {@code ERROR_GEN_FAILURE}). Until set, an id built from
   * the identity: {@code MFG:<manufacturer>;MDL:<product>;CMD:ESC/POS;CLS:PRINTER;}.
   *
   * @return false for more than 65535 bytes or a printer the simulator no longer knows
   */
  public boolean setDeviceId(byte[] raw) {
    return SimNative.setDeviceId(id, raw);
  }

  /** The next printer class request (status or device id) on {@code pipe} fails with {@code error}. */
  public boolean scriptControlError(Pipe pipe, int error) {
    return SimNative.scriptControlError(id, pipe.code, error);
  }

  /** The native driver's time-out record. */
  public CommTimeouts timeouts() {
    int[] a = new int[5];
    if (!SimNative.getTimeouts(id, a)) {
      throw new IllegalStateException("no time-out record: " + path);
    }
    return CommTimeouts.of(a);
  }

  public void setTimeouts(CommTimeouts t) {
    if (!SimNative.setTimeouts(id, t.toArray())) {
      throw new IllegalStateException("cannot set the time-out record: " + path);
    }
  }

  /** Purge requests the native driver has taken. */
  public int purgeCount() {
    return SimNative.purgeCount(id);
  }

  /** The flags of the last purge request ({@link Win32#PURGE_RXABORT} and the like). */
  public int lastPurgeFlags() {
    return SimNative.lastPurgeFlags(id);
  }

  /** Reads now waiting on the printer, overlapped or synchronous. */
  public int pendingReads() {
    return SimNative.pendingReads(id);
  }

  /** Waits until at least {@code nReads} reads wait on the printer; false when the time passed. */
  public boolean waitPendingReads(int nReads, int timeoutMs) {
    return SimNative.waitPendingReads(id, nReads, timeoutMs);
  }

  /**
   * Stalls the printer (offline, out of paper, slow): while stalled its writes take nothing and
   * block; ending the stall completes them, an unplug fails them. On the native class a blocked
   * write honours the driver's write time-outs and then succeeds with a short count.
   */
  public boolean setWriteStall(boolean stall) {
    return SimNative.setWriteStall(id, stall);
  }

  /** Waits until at least {@code nWrites} writes are blocked on the printer; false when the time passed. */
  public boolean waitPendingWrites(int nWrites, int timeoutMs) {
    return SimNative.waitPendingWrites(id, nWrites, timeoutMs);
  }

  /** Waits until the host has written at least {@code nBytes}; false when the time passed. */
  public boolean waitWritten(int nBytes, int timeoutMs) {
    return SimNative.waitWritten(id, nBytes, timeoutMs);
  }

  /** Waits until the bytes queued towards the host are all read; false when the time passed. */
  public boolean waitDrained(int timeoutMs) {
    return SimNative.waitDrained(id, timeoutMs);
  }

  @Override
  public String toString() {
    return kind + " printer " + path;
  }
}
