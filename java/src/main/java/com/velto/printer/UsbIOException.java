package com.velto.printer;

import java.io.IOException;

/** A failure that Windows reported with an error code; the message is the system's text for it. */
public class UsbIOException extends IOException {
  private static final long serialVersionUID = 1L;

  private final int errorCode;
  private long bytesTransferred;

  /**
   * @param errorCode the Windows error code
   * @param message the system's text for it, without the line break at its end
   */
  public UsbIOException(int errorCode, String message) {
    super(message);
    this.errorCode = errorCode;
  }

  /** The Windows error code, for example 5 ({@code ERROR_ACCESS_DENIED}). */
  public int errorCode() {
    return errorCode;
  }

  /** Of a write that failed part way: the bytes the printer had taken of it; else 0. */
  public long bytesTransferred() {
    return bytesTransferred;
  }

  UsbIOException withBytesTransferred(long n) {
    bytesTransferred = n;
    return this;
  }
}
