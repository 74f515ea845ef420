package com.velto.printer.sim;

import com.velto.printer.internal.NativeLoader;

/**
 * The natives of the test-support library {@code veltosim_jni}, which binds the simulated printers'
 * control API of the Win32 emulation. Texts cross the boundary as bytes in the emulation's 8-bit
 * code page (ISO-8859-1 here), never as modified UTF-8.
 */
final class SimNative {
  static {
    // The module first: its emulation library is then in the process, and this binding's
    // dependency on it resolves to that same one, wherever each of the two was loaded from.
    try {
      Class.forName("com.velto.printer.UsbPort", true, SimNative.class.getClassLoader());
    } catch (ClassNotFoundException e) {
      throw new NoClassDefFoundError("com.velto.printer.UsbPort: the veltousb jar is missing");
    }
    NativeLoader.load("veltosim_jni", SimNative.class, System::load, System::loadLibrary);
  }

  private SimNative() {}

  // Devices
  static native int plug(int nClass, byte[] interfaceClass, byte[] path);

  static native boolean unplug(int dev);

  static native boolean replug(int dev);

  static native boolean isPlugged(int dev);

  static native boolean setRemovalError(int dev, int code);

  /** Null arrays leave the property out (a null serial: a printer without one). */
  static native boolean setIdentity(
      int dev, byte[] manufacturer, byte[] product, byte[] serial, byte[] location);

  // Printer class requests; a null id: the printer does not answer.
  static native boolean setPortStatus(int dev, int status);

  static native boolean setDeviceId(int dev, byte[] raw);

  static native boolean scriptControlError(int dev, int pipe, int error);

  // Data
  static native boolean send(int dev, byte[] data);

  static native int pendingToHost(int dev);

  static native byte[] written(int dev);

  static native void clearWritten(int dev);

  static native boolean addResponder(int dev, byte[] request, byte[] reply);

  // Scripted results
  static native boolean scriptOpenError(int dev, int pipe, int error);

  static native boolean scriptReadError(int dev, int pipe, int error);

  static native boolean scriptZeroRead(int dev, int pipe);

  static native boolean scriptWriteError(int dev, int pipe, int error);

  static native boolean scriptShortWrite(int dev, int pipe, int nBytes);

  // Native driver state; time-outs as five 32-bit patterns in COMMTIMEOUTS order
  static native boolean getTimeouts(int dev, int[] timeouts);

  static native boolean setTimeouts(int dev, int[] timeouts);

  static native int purgeCount(int dev);

  static native int lastPurgeFlags(int dev);

  // Observation
  static native int pendingReads(int dev);

  static native boolean waitPendingReads(int dev, int nReads, int timeoutMs);

  static native boolean setWriteStall(int dev, boolean stall);

  static native boolean waitPendingWrites(int dev, int nWrites, int timeoutMs);

  static native boolean waitWritten(int dev, int nBytes, int timeoutMs);

  static native boolean waitDrained(int dev, int timeoutMs);

  static native boolean waitCallCount(int fn, int nCalls, int timeoutMs);

  // Failure injection
  static native void injectFailure(int fn, int skip, int calls, int error);

  static native void clearInjections();

  static native int callCount(int fn);

  static native int functionCount();

  static native byte[] functionName(int fn);

  // Debugger output, buffered natively: the listener runs on whatever thread
  // traces, and only appends to the buffer; Java takes the texts out.
  static native void captureDebugOutput(boolean on);

  /** The texts buffered so far, each followed by a NUL byte; waits up to timeoutMs for one. */
  static native byte[] takeDebugOutput(int timeoutMs);

  static native long debugOutputDropped();

  // System message table
  static native void setMessageText(int code, byte[] text);

  // Lifecycle
  static native void reset();

  static native void useHostPrinters(boolean use);

  static native int openHandleCount();

  static native int liveThreadCount();

  static native int deviceCount();

  static native byte[] leakReport(int graceMs);

  // The library's device identification, from its own device table
  static native byte[] nativePrinterInterfaceClass();

  static native byte[] printerClassInterfaceClass();

  static native byte[] devicePatterns();

  // What the library would find
  static native byte[] presentInterfaces(byte[] interfaceClass);

  static native int openError(byte[] path);
}
