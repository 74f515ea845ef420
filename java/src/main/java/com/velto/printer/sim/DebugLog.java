package com.velto.printer.sim;

import java.util.ArrayList;
import java.util.List;
import java.util.function.Predicate;

/**
 * Collects the debugger output ({@link DebugOutput}) into a list that can be searched and awaited.
 * Start capturing before the texts of interest are traced.
 */
public final class DebugLog {
  private final List<String> lines = new ArrayList<>();

  /** Moves the texts buffered so far into the log. */
  public synchronized void poll() {
    lines.addAll(DebugOutput.take(0));
  }

  /** Every text collected since the last {@link #clear()}, after a {@link #poll()}. */
  public synchronized List<String> lines() {
    poll();
    return new ArrayList<>(lines);
  }

  /** Forgets what was collected, including texts buffered and not yet polled. */
  public synchronized void clear() {
    poll();
    lines.clear();
  }

  /** Texts collected so far that match. */
  public synchronized List<String> matching(Predicate<String> p) {
    poll();
    List<String> out = new ArrayList<>();
    for (String s : lines) {
      if (p.test(s)) {
        out.add(s);
      }
    }
    return out;
  }

  /** Number of collected texts that contain {@code fragment}. */
  public int count(String fragment) {
    return matching(s -> s.contains(fragment)).size();
  }

  /**
   * Waits until {@code n} collected texts match, or {@code timeoutMs} passes.
   *
   * @return whether they did
   */
  public boolean await(Predicate<String> p, int n, int timeoutMs) {
    long deadline = System.nanoTime() + timeoutMs * 1_000_000L;
    while (true) {
      synchronized (this) {
        int found = 0;
        for (String s : lines) {
          if (p.test(s)) {
            found++;
          }
        }
        if (found >= n) {
          return true;
        }
      }
      long left = (deadline - System.nanoTime()) / 1_000_000L;
      if (left <= 0) {
        return false;
      }
      List<String> more = DebugOutput.take((int) Math.min(left, 200));
      synchronized (this) {
        lines.addAll(more);
      }
    }
  }

  /** Waits until a collected text contains {@code fragment}. */
  public boolean await(String fragment, int timeoutMs) {
    return await(s -> s.contains(fragment), 1, timeoutMs);
  }
}
