package com.velto.printer.sim;

/**
 * A native driver's time-out record, Windows' {@code COMMTIMEOUTS}: five unsigned 32-bit
 * millisecond values, held here as their bit patterns (-1 is {@code MAXDWORD}).
 */
public record CommTimeouts(
    int readInterval,
    int readTotalMultiplier,
    int readTotalConstant,
    int writeTotalMultiplier,
    int writeTotalConstant) {

  int[] toArray() {
    return new int[] {
      readInterval, readTotalMultiplier, readTotalConstant, writeTotalMultiplier, writeTotalConstant
    };
  }

  static CommTimeouts of(int[] a) {
    return new CommTimeouts(a[0], a[1], a[2], a[3], a[4]);
  }

  @Override
  public String toString() {
    return String.format(
        "{interval %s, total %s/byte + %s; write %s/byte + %s}",
        text(readInterval),
        text(readTotalMultiplier),
        text(readTotalConstant),
        text(writeTotalMultiplier),
        text(writeTotalConstant));
  }

  private static String text(int v) {
    return v == -1 ? "MAXDWORD" : Integer.toUnsignedString(v);
  }
}
