package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * Close of a printer-class session while reads are pending: the receiver's, and a Java read waiting
 * in usbReadInputPipe. Raw: a thread with an overlapped read pending is stopped and its file closed.
 */
final class CloseBench {
  private CloseBench() {}

  /** A Java thread that reads the handle again after every read until stop is set. */
  static Thread startReader(UsbPort port, int handle, AtomicBoolean stop) {
    Thread reader =
        new Thread(
            () -> {
              byte[] buf = new byte[64];
              while (!stop.get()) {
                port.usbReadInputPipe(handle, buf);
              }
            });
    reader.start();
    return reader;
  }

  static long[] library(int iterations) throws Exception {
    SimulatedPrinter printer =
        SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath("libclose"));
    UsbPort port = new UsbPort();
    long[] samples = new long[iterations];
    try {
      for (int i = 0; i < iterations; i++) {
        if (port.usbInitPipe(port, port.usbGetGenericReadValue()) != UsbPort.USB_TYPE_PRINTER_CLASS
            || !printer.waitPendingReads(1, 20_000)) {
          throw new IllegalStateException("no printer-class session");
        }
        final int handle = port.hReadPort;
        final AtomicBoolean stop = new AtomicBoolean();
        Thread reader = startReader(port, handle, stop);
        Thread.sleep(3); // the Java read is waiting inside by now
        long start = System.nanoTime();
        port.usbClosePipe(handle);
        samples[i] = System.nanoTime() - start;
        stop.set(true);
        reader.join();
      }
    } finally {
      printer.unplug();
    }
    return samples;
  }

  static long[] raw(int iterations) throws Exception {
    SimulatedPrinter printer =
        SimulatedPrinter.plugPrinterClass(
            SimulatedPrinter.interfacePath(
                "vid_0000&pid_0000", "rawclose", Simulator.printerClassInterfaceClass()));
    long[] samples = new long[iterations];
    try {
      for (int i = 0; i < iterations; i++) {
        long receiver = RawDevice.startReceiver(RawDevice.open(printer.path() + "\\PIPE00", true));
        if (!printer.waitPendingReads(1, 20_000)) {
          throw new IllegalStateException("raw read not pending");
        }
        Thread.sleep(3);
        long start = System.nanoTime();
        RawDevice.stopReceiver(receiver);
        samples[i] = System.nanoTime() - start;
      }
    } finally {
      printer.unplug();
    }
    return samples;
  }
}
