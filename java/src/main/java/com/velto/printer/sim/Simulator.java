package com.velto.printer.sim;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * The process-wide side of the simulator: reset and leak checks, failure injection into emulated
 * Win32 calls, the system message table, and the library's device identification. Printers are
 * {@link SimulatedPrinter}s; the library's debugger output is {@link DebugOutput}.
 *
 * <p>The simulator, the library loaded by {@code com.velto.printer.UsbPort} and this binding share
 * one emulation ({@code libwin32emu.so}) in the process.
 */
public final class Simulator {
  /** The {@code calls} of {@link #injectFailure} that lasts until {@link #clearInjections()}. */
  public static final int UNTIL_CLEARED = -1;

  private Simulator() {}

  /**
   * Forgets every device, script, injection, responder and the call counts, and empties the
   * debugger output buffer. Capturing of the debugger output stays as it was. Handles still open
   * stay counted as leaks.
   */
  public static void reset() {
    SimNative.reset();
  }

  /**
   * Whether the library sees the machine's own printers (on Linux, those of the usblp driver)
   * while no simulated printer is plugged. A test that plugs nothing and must find no printer
   * passes {@code false}; {@link #reset()} lets them in again.
   */
  public static void useHostPrinters(boolean use) {
    SimNative.useHostPrinters(use);
  }

  /** Open handles of any kind. */
  public static int openHandleCount() {
    return SimNative.openHandleCount();
  }

  /** Emulated threads still running. */
  public static int liveThreadCount() {
    return SimNative.liveThreadCount();
  }

  /** Devices plugged in, or unplugged but not forgotten. */
  public static int deviceCount() {
    return SimNative.deviceCount();
  }

  /**
   * Describes what is still open, one line per handle, thread or device, after waiting up to
   * {@code graceMs} for threads that are already ending.
   *
   * @return the report, empty when nothing leaked
   */
  public static String leakReport(int graceMs) {
    return text(SimNative.leakReport(graceMs));
  }

  /**
   * Makes calls of {@code fn} fail: after the next {@code skip} calls, {@code calls} of them fail
   * with {@code error} as the last-error value ({@link #UNTIL_CLEARED}: until cleared).
   */
  public static void injectFailure(EmulatedFunction fn, int skip, int calls, int error) {
    SimNative.injectFailure(fn.ordinal(), skip, calls, error);
  }

  public static void clearInjections() {
    SimNative.clearInjections();
  }

  /** Calls of {@code fn} since the last reset, failed ones included. */
  public static int callCount(EmulatedFunction fn) {
    return SimNative.callCount(fn.ordinal());
  }

  /** Waits until {@code fn} has been called {@code calls} times; false when {@code timeoutMs} passed. */
  public static boolean waitCallCount(EmulatedFunction fn, int calls, int timeoutMs) {
    return SimNative.waitCallCount(fn.ordinal(), calls, timeoutMs);
  }

  /** Number of functions the emulation can make fail; equals the number of {@link EmulatedFunction}s. */
  public static int emulatedFunctionCount() {
    return SimNative.functionCount();
  }

  /**
   * Makes {@code FormatMessageA} give {@code text} for {@code code} (in ISO-8859-1, standing for
   * the system's ANSI code page); {@code null} restores the system's text.
   */
  public static void setMessageText(int code, String text) {
    SimNative.setMessageText(code, text == null ? null : bytes(text));
  }

  /** The interface class GUID of the vendor's native driver, as the library searches it. */
  public static String nativePrinterInterfaceClass() {
    return text(SimNative.nativePrinterInterfaceClass());
  }

  /** The USB printer class interface GUID, {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}. */
  public static String printerClassInterfaceClass() {
    return text(SimNative.printerClassInterfaceClass());
  }

  /**
   * The library's device pattern table ("vid_xxxx&amp;pid_xxxx" texts, in table order): an
   * interface path that contains one of them is taken for the printer.
   */
  public static List<String> devicePatterns() {
    return split(SimNative.devicePatterns());
  }

  /**
   * The interface paths that SetupAPI lists as present for an interface class, in its order: the
   * simulated printers while a program has plugged any; otherwise, on Linux, the printer-class
   * printers that the kernel's usblp driver drives (for the printer class only).
   */
  public static List<String> presentInterfaces(String interfaceClass) {
    return split(SimNative.presentInterfaces(bytes(interfaceClass)));
  }

  /**
   * Opens a path with {@code CreateFileA} as the library does and closes it again.
   *
   * @return 0 when it opened, else the Windows error code (5: access denied, 2: not found)
   */
  public static int openError(String path) {
    return SimNative.openError(bytes(path));
  }

  static String text(byte[] b) {
    return b == null ? "" : new String(b, StandardCharsets.ISO_8859_1);
  }

  static byte[] bytes(String s) {
    return s.getBytes(StandardCharsets.ISO_8859_1);
  }

  /** Splits texts that each end with a NUL byte. */
  static List<String> split(byte[] b) {
    List<String> out = new ArrayList<>();
    if (b == null) {
      return out;
    }
    int start = 0;
    for (int i = 0; i < b.length; i++) {
      if (b[i] == 0) {
        out.add(new String(b, start, i - start, StandardCharsets.ISO_8859_1));
        start = i + 1;
      }
    }
    return out;
  }
}
