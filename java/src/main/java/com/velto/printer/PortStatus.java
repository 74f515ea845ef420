package com.velto.printer;

/**
 * The status byte a USB printer class printer reports, as a parallel port's status lines: paper
 * empty, selected (online), and not-error. What a printer sets beside these three bits is kept in
 * {@link #raw()}. Immutable.
 */
public final class PortStatus {
  private static final int PAPER_EMPTY = 0x20;
  private static final int SELECTED = 0x10;
  private static final int NOT_ERROR = 0x08;

  private final int raw;

  /** The status of the byte {@code raw} (only its low 8 bits count). */
  public PortStatus(int raw) {
    this.raw = raw & 0xFF;
  }

  /** Whether the printer reports that it is out of paper. */
  public boolean paperEmpty() {
    return (raw & PAPER_EMPTY) != 0;
  }

  /** Whether the printer reports itself selected: online and ready to take data. */
  public boolean selected() {
    return (raw & SELECTED) != 0;
  }

  /** Whether the printer reports an error (its not-error bit is clear). */
  public boolean error() {
    return (raw & NOT_ERROR) == 0;
  }

  /** The byte as the printer sent it, 0..255. */
  public int raw() {
    return raw;
  }

  @Override
  public boolean equals(Object o) {
    return o instanceof PortStatus other && other.raw == raw;
  }

  @Override
  public int hashCode() {
    return raw;
  }

  /** Such as {@code "0x18 (selected)"} or {@code "0x30 (paper empty, selected, error)"}. */
  @Override
  public String toString() {
    StringBuilder s = new StringBuilder();
    if (paperEmpty()) {
      s.append("paper empty, ");
    }
    s.append(selected() ? "selected" : "not selected");
    if (error()) {
      s.append(", error");
    }
    return String.format("0x%02x (%s)", raw, s);
  }
}
