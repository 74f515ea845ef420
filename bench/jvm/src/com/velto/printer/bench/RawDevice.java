package com.velto.printer.bench;

import java.nio.charset.StandardCharsets;

/**
 * The raw baseline: Win32 calls on a simulated printer through the plainest JNI binding
 * (libveltobench_raw), without the library.
 */
final class RawDevice {
  static {
    System.loadLibrary("veltobench_raw");
  }

  private RawDevice() {}

  static long open(String path, boolean overlapped) {
    long h = open(path.getBytes(StandardCharsets.ISO_8859_1), overlapped);
    if (h == -1) {
      throw new IllegalStateException("raw open failed: " + path);
    }
    return h;
  }

  private static native long open(byte[] path, boolean overlapped);

  static native void close(long h);

  /** WriteFile of the whole array (copied with GetByteArrayRegion); bytes written or -error. */
  static native int write(long h, byte[] data);

  /** Synchronous ReadFile into the array; bytes read or -error. */
  static native int read(long h, byte[] data);

  /** PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR); 0 or the error. */
  static native int purge(long h);

  /**
   * A thread reading 64-byte blocks with overlapped reads, one at a time, on an overlapped handle.
   */
  static native long startReceiver(long h);

  /** Bytes the receiver has read so far. */
  static native long receiverBytes(long receiver);

  /** A relay: a thread reading 64-byte blocks on an overlapped handle, handing them on. */
  static native long startRelay(long h);

  /** Bytes the relay holds, waiting up to 100 ms for some; 0 when none came. */
  static native int relayRead(long relay, byte[] data);

  /** Stops the relay and closes its handles and file. */
  static native void stopRelay(long relay);

  /** The interface paths SetupAPI gives as present for an interface class ("{GUID}"). */
  static String[] listPaths(String interfaceClass) {
    String[] paths = listPaths(interfaceClass.getBytes(StandardCharsets.ISO_8859_1));
    if (paths == null) {
      throw new IllegalStateException("raw listing failed: " + interfaceClass);
    }
    return paths;
  }

  private static native String[] listPaths(byte[] interfaceClass);

  /** Signals the receiver's quit event, waits for it to end and closes its handles. */
  static native void stopReceiver(long receiver);
}
