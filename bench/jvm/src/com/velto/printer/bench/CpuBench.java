package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.HashSet;
import java.util.Set;
import java.util.stream.Stream;

/**
 * CPU time of the receiver thread, idle and in each of its error loops, as a share of one core.
 * The receiver is the thread that appears with the session; its time comes from the kernel's
 * per-thread schedstat (nanoseconds).
 */
final class CpuBench {
  private CpuBench() {}

  static Set<String> threads() throws IOException {
    Set<String> ids = new HashSet<>();
    try (Stream<Path> tasks = Files.list(Paths.get("/proc/self/task"))) {
      tasks.forEach(p -> ids.add(p.getFileName().toString()));
    }
    return ids;
  }

  static long cpuNanos(Set<String> ids) {
    long total = 0;
    for (String id : ids) {
      try {
        String stat = new String(Files.readAllBytes(Paths.get("/proc/self/task", id, "schedstat")));
        total += Long.parseLong(stat.trim().split("\\s+")[0]);
      } catch (IOException | NumberFormatException e) {
        // the thread has ended
      }
    }
    return total;
  }

  /** How the receiver is driven into a loop. */
  enum Loop {
    IDLE("idle, read pending", 0),
    FILE_NOT_FOUND("error loop: file not found", 2),
    ACCESS_DENIED("error loop: access denied (reopen)", 5),
    INVALID_HANDLE("error loop: invalid handle (reopen)", 6),
    END_OF_FILE("error loop: end of file", 38),
    OTHER("error loop: other error (CRC)", 23),
    REMOVED("error loop: printer removed", 0),
    REMOVED_DENIED("error loop: printer removed, access denied", 0);

    final String title;
    final int error;

    Loop(String title, int error) {
      this.title = title;
      this.error = error;
    }
  }

  /** Percent of one core the receiver uses over seconds in the loop. */
  static double percent(Loop loop, double seconds) throws Exception {
    SimulatedPrinter printer =
        SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath("cpu" + loop.ordinal()));
    UsbPort port = new UsbPort();
    Set<String> before = threads();
    if (port.usbInitPipe(port, port.usbGetGenericReadValue()) != UsbPort.USB_TYPE_PRINTER_CLASS
        || !printer.waitPendingReads(1, 20_000)) {
      throw new IllegalStateException("no printer-class session");
    }
    Set<String> receiver = threads();
    receiver.removeAll(before);
    try {
      if (loop.error != 0) {
        // The pending read completes; every later read fails.
        Simulator.injectFailure(EmulatedFunction.ReadFile, 0, Simulator.UNTIL_CLEARED, loop.error);
        printer.send(new byte[] {1});
      } else if (loop == Loop.REMOVED || loop == Loop.REMOVED_DENIED) {
        if (loop == Loop.REMOVED_DENIED) {
          printer.setRemovalError(5);
        }
        printer.unplug();
      }
      Thread.sleep(300);
      long cpu0 = cpuNanos(receiver);
      long t0 = System.nanoTime();
      Thread.sleep((long) (seconds * 1000));
      long cpu1 = cpuNanos(receiver);
      long t1 = System.nanoTime();
      return 100.0 * (cpu1 - cpu0) / (t1 - t0);
    } finally {
      Simulator.clearInjections();
      port.usbClosePipe(port.hReadPort);
      printer.unplug();
    }
  }
}
