package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.CommTimeouts;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * Purge of a native-type printer while a Java thread reads again after every read the purge
 * ends (zero time-outs: each read waits until it is ended). Raw: PurgeComm on an overlapped handle
 * while a raw receiver keeps a read pending.
 */
final class PurgeBench {
  private static final CommTimeouts NEVER = new CommTimeouts(0, 0, 0, 0, 0);

  private PurgeBench() {}

  static long[] library(int iterations) throws Exception {
    SimulatedPrinter printer = SimulatedPrinter.plugNative(SimulatedPrinter.nativePath("libpurge"));
    printer.setTimeouts(NEVER);
    UsbPort port = new UsbPort();
    long[] samples = new long[iterations];
    try {
      if (port.usbInitPipe(port, port.usbGetGenericReadValue()) != UsbPort.USB_TYPE_NATIVE) {
        throw new IllegalStateException("no native-type printer");
      }
      final int handle = port.hReadPort;
      final AtomicBoolean stop = new AtomicBoolean();
      Thread reader = CloseBench.startReader(port, handle, stop);
      for (int i = 0; i < iterations; i++) {
        if (!printer.waitPendingReads(1, 20_000)) {
          throw new IllegalStateException("the reader does not read");
        }
        long start = System.nanoTime();
        int rc = port.usbPurgeRequest(handle);
        samples[i] = System.nanoTime() - start;
        if (rc != 0) {
          throw new IllegalStateException("purge failed: " + rc);
        }
      }
      stop.set(true);
      port.usbClosePipe(handle); // ends the last read
      reader.join();
    } finally {
      printer.unplug();
    }
    return samples;
  }

  static long[] raw(int iterations) throws Exception {
    SimulatedPrinter printer =
        SimulatedPrinter.plugNative(
            SimulatedPrinter.interfacePath(
                "vid_0000&pid_0000", "rawpurge", Simulator.nativePrinterInterfaceClass()));
    printer.setTimeouts(NEVER);
    long[] samples = new long[iterations];
    try {
      long h = RawDevice.open(printer.path() + "\\PIPE00", true);
      long receiver = RawDevice.startReceiver(h);
      for (int i = 0; i < iterations; i++) {
        if (!printer.waitPendingReads(1, 20_000)) {
          throw new IllegalStateException("raw read not pending");
        }
        long start = System.nanoTime();
        int rc = RawDevice.purge(h);
        samples[i] = System.nanoTime() - start;
        if (rc != 0) {
          throw new IllegalStateException("raw purge failed: " + rc);
        }
      }
      RawDevice.stopReceiver(receiver);
    } finally {
      printer.unplug();
    }
    return samples;
  }
}
