package com.velto.printer;

import java.io.InterruptedIOException;

/**
 * A write that the printer did not take in full: its time-out passed while the printer took nothing
 * more (offline, out of paper, cover open), or the driver ended it short. {@link
 * #bytesTransferred} is how many bytes of it the printer took, from the start of the array; a
 * retry sends the rest.
 */
public class WriteTimeoutException extends InterruptedIOException {
  private static final long serialVersionUID = 1L;

  /**
   * @param message what happened
   * @param bytesTransferred how many bytes of the write the printer took
   */
  public WriteTimeoutException(String message, int bytesTransferred) {
    super(message);
    this.bytesTransferred = bytesTransferred;
  }
}
