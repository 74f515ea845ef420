package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;

/** Java to printer: time per write call through the library and through raw WriteFile. */
final class WriteBench implements AutoCloseable {
  private final SimulatedPrinter libraryPrinter;
  private final SimulatedPrinter rawPrinter;
  private final UsbPort port = new UsbPort();
  private final int libraryHandle;
  private final long rawHandle;

  WriteBench() {
    libraryPrinter = SimulatedPrinter.plugNative(SimulatedPrinter.nativePath("libwrite"));
    rawPrinter =
        SimulatedPrinter.plug(
            SimulatedPrinter.Kind.NATIVE,
            Simulator.nativePrinterInterfaceClass(),
            SimulatedPrinter.interfacePath(
                "vid_0000&pid_0000", "rawwrite", Simulator.nativePrinterInterfaceClass()));
    if (port.usbInitPipe(port, port.usbGetGenericWriteValue()) != UsbPort.USB_TYPE_NATIVE) {
      throw new IllegalStateException("no native write pipe");
    }
    libraryHandle = port.hWritePort;
    rawHandle = RawDevice.open(rawPrinter.path() + "\\PIPE01", false);
  }

  /**
   * Median over rounds of the mean ns per call, {library, raw}. The rounds of the two alternate,
   * so that a drift of the machine's speed weighs on both alike.
   */
  double[] nanosPerCall(int size, int rounds, long roundMs) {
    byte[] data = new byte[size];
    double[] library = new double[rounds];
    double[] raw = new double[rounds];
    for (int r = -1; r < rounds; r++) { // round -1 warms up
      double libraryRound = round(true, data, roundMs);
      double rawRound = round(false, data, roundMs);
      if (r >= 0) {
        library[r] = libraryRound;
        raw[r] = rawRound;
      }
    }
    return new double[] {Stats.median(library), Stats.median(raw)};
  }

  private double round(boolean library, byte[] data, long roundMs) {
    SimulatedPrinter printer = library ? libraryPrinter : rawPrinter;
    long calls = 0;
    long start = System.nanoTime();
    long end = start + roundMs * 1_000_000L;
    long now;
    do {
      for (int i = 0; i < 32; i++) {
        int result =
            library ? port.usbWriteOutputPipe(libraryHandle, data) : RawDevice.write(rawHandle, data);
        if (result != (library ? 0 : data.length)) {
          throw new IllegalStateException("write failed: " + result);
        }
      }
      calls += 32;
      printer.clearWritten();
      now = System.nanoTime();
    } while (now < end);
    return (now - start) / (double) calls;
  }

  @Override
  public void close() {
    port.usbClosePipe(libraryHandle);
    RawDevice.close(rawHandle);
    libraryPrinter.unplug();
    rawPrinter.unplug();
  }
}
