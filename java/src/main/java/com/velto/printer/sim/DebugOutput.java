package com.velto.printer.sim;

import java.util.List;

/**
 * The debugger output channel of the emulation ({@code OutputDebugStringA}): every text the
 * library traces, exactly, one element per call.
 *
 * <p>The library traces from Java threads and from its own receiver thread. The binding's listener
 * never calls into the JVM: it appends each text to a buffer inside the native binding (up to
 * 200000 texts; beyond that texts are counted in {@link #dropped()} and dropped), and Java takes
 * them out with {@link #take(int)}. So no native thread has to be attached to the JVM, and a trace
 * from a thread that is ending cannot block or crash it.
 */
public final class DebugOutput {
  private DebugOutput() {}

  /**
   * Starts or stops capturing. While nobody captures, the output is dropped, as on Windows without
   * a debugger.
   */
  public static void capture(boolean on) {
    SimNative.captureDebugOutput(on);
  }

  /**
   * Takes every text buffered so far. When none is buffered, waits up to {@code timeoutMs} for one
   * (0: does not wait).
   *
   * @return the texts in the order they were traced, each as traced (usually ending in a line feed)
   */
  public static List<String> take(int timeoutMs) {
    return Simulator.split(SimNative.takeDebugOutput(timeoutMs));
  }

  /** Texts dropped because the buffer was full. */
  public static long dropped() {
    return SimNative.debugOutputDropped();
  }
}
