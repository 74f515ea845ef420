package com.velto.printer.sim;

/**
 * The file of a simulated printer that a scripted result applies to: the bare interface path, or
 * the path followed by a backslash and "PIPE00" (read) or "PIPE01" (write).
 */
public enum Pipe {
  ANY(-1),
  BARE(0),
  PIPE00(1),
  PIPE01(2);

  final int code;

  Pipe(int code) {
    this.code = code;
  }
}
