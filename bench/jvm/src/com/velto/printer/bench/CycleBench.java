package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;

/**
 * Open/close cycles of a printer-class printer: both pipes opened, then closed. Raw: the two pipe
 * files opened and closed.
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
      long cycles = 0;
      long start = System.nanoTime();
      long end = start + (long) (seconds * 1e9);
      long now;
      do {
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
        cycles++;
        now = System.nanoTime();
      } while (now < end);
      return cycles / ((now - start) / 1e9);
    } finally {
      printer.unplug();
    }
  }
}
