package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;

/**
 * Open/close cycles of a printer-class printer: both pipes opened, then closed. Raw: the two pipe
 * files opened and closed. Reported as the rate of the median cycle.
 */
final class CycleBench {
  private CycleBench() {}

  static double perSecond(boolean library, double seconds) {
    SimulatedPrinter printer =
        library
            ? SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath("libcycle"))
            : SimulatedPrinter.plugPrinterClass(
                SimulatedPrinter.interfacePath(
                    "vid_0000&pid_0000", "rawcycle", Simulator.printerClassInterfaceClass()));
    UsbPort port = new UsbPort();
    try {
      // The rate of the median cycle: a cycle starts and stops a thread, and
      // the scheduler of a busy machine delays some of them by a tick.
      java.util.List<Long> cycles = new java.util.ArrayList<>();
      long end = System.nanoTime() + (long) (seconds * 1e9);
      long now;
      do {
        long start = System.nanoTime();
        if (library) {
          if (port.usbInitPipe(port, port.usbGetGenericReadValue()) < 0
              || port.usbInitPipe(port, port.usbGetGenericWriteValue()) < 0) {
            throw new IllegalStateException("open failed");
          }
          port.usbClosePipe(port.hReadPort);
        } else {
          long read = RawDevice.open(printer.path() + "\\PIPE00", true);
          long write = RawDevice.open(printer.path() + "\\PIPE01", false);
          RawDevice.close(read);
          RawDevice.close(write);
        }
        now = System.nanoTime();
        cycles.add(now - start);
      } while (now < end);
      long[] samples = cycles.stream().mapToLong(Long::longValue).toArray();
      return 1e9 / Stats.percentile(samples, 50);
    } finally {
      printer.unplug();
    }
  }
}
