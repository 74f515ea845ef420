package com.velto.printer.bench;

import com.velto.printer.PrinterInfo;
import com.velto.printer.UsbPrinter;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.function.IntSupplier;

/**
 * Several printers at once through UsbPrinter, which lists them and opens any of them: two
 * printer-class printers streaming together, each through a UsbPrinter of its own, and the listing
 * of 16. Revisions without UsbPrinter.list() have none of it: tools/bench.sh leaves this file out
 * for them, and Bench looks the class up by name.
 */
final class Several {
  static final int PER_CLASS = 8;

  private Several() {}

  /**
   * The rows: of each of two printers at 1.2 MB/s for lossSeconds, the bytes lost and the latency
   * p99, also over oneLatency's (one printer's, in ns); then the time of a listing.
   */
  static void measure(Results results, double lossSeconds, long[] oneLatency, int readSize,
      int listings) throws Exception {
    InboundBench.Stream[] two = new InboundBench(Opened::new, "printer", readSize)
                                    .together(2, InboundBench.FULL_SPEED,
                                        (long) (InboundBench.FULL_SPEED * lossSeconds), 2000);
    double oneP99 = Stats.percentile(oneLatency, 99);
    for (int i = 0; i < two.length; i++) {
      String of = String.format(Locale.ROOT,
          "two printers at 1.2 MB/s each for %s s, printer %d: ", Results.show(lossSeconds), i + 1);
      double p99 = Stats.percentile(two[i].latencyNanos(), 99);
      results.metric("two_lost_bytes_" + (i + 1), of + "bytes dropped or out of sequence", "bytes",
          "lower", two[i].lost(), Double.NaN);
      results.metric("two_latency_p99_us_" + (i + 1), of + "arrival-to-read latency p99", "µs",
          "lower", p99 / 1e3, Double.NaN);
      results.metric("two_latency_p99_ratio_" + (i + 1), of + "that p99 over one printer's",
          "× one", "lower", p99 / oneP99, Double.NaN);
    }
    Bench.percentiles(results, "list_p%d_ms",
        "listing " + 2 * PER_CLASS + " printers, " + PER_CLASS + " of each class, p%d", "ms",
        listingTimes(true, listings), listingTimes(false, listings), 1e6, 50, 90);
  }

  /**
   * A printer of the library's device table, found by its interface path among those UsbPrinter
   * lists and opened as a UsbPrinter of its own, as a driver serving several printers does.
   */
  static final class Opened extends Inbound {
    static final Duration STEP = Duration.ofMillis(100);
    final UsbPrinter usb;

    Opened(String serial) {
      super(SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath(serial)));
      try {
        PrinterInfo info =
            UsbPrinter.list()
                .stream()
                .filter(p -> p.interfacePath().equalsIgnoreCase(printer.path()))
                .findFirst()
                .orElseThrow(() -> new IllegalStateException("not listed: " + printer.path()));
        usb = UsbPrinter.open(info);
      } catch (IOException | RuntimeException e) {
        printer.unplug();
        throw e instanceof IOException ? new UncheckedIOException((IOException) e)
                                       : (RuntimeException) e;
      }
    }

    @Override
    int read(byte[] buf) {
      try {
        return usb.read(buf, STEP);
      } catch (IOException e) {
        throw new UncheckedIOException(e);
      }
    }

    @Override
    void wake() {}

    // The ring is not counted in held(): UsbPrinter does not show it, and the reader reads until
    // nothing more comes before the count is taken.

    @Override
    public void close() throws IOException {
      try {
        usb.close();
      } finally {
        printer.unplug();
      }
    }
  }

  /**
   * The time in ns of each of many listings with 16 printers attached, 8 of each interface class,
   * after a tenth as many to warm up: UsbPrinter.list(), each printer with its identity. Raw: the
   * interface paths SetupAPI gives for both classes, as Java strings, and nothing more.
   */
  static long[] listingTimes(boolean library, int listings) {
    List<SimulatedPrinter> plugged = new ArrayList<>();
    try {
      for (int i = 0; i < PER_CLASS; i++) {
        plugged.add(SimulatedPrinter.plugNative(SimulatedPrinter.nativePath("listn" + i)));
        plugged.add(
            SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath("listp" + i)));
      }
      String nativeClass = Simulator.nativePrinterInterfaceClass();
      String printerClass = Simulator.printerClassInterfaceClass();
      IntSupplier list = library ? ()
          -> UsbPrinter.list().size()
          : ()
              -> RawDevice.listPaths(nativeClass).length + RawDevice.listPaths(printerClass).length;
      long[] samples = new long[listings];
      for (int i = -listings / 10; i < listings; i++) {
        long start = System.nanoTime();
        int found = list.getAsInt();
        long took = System.nanoTime() - start;
        if (found != plugged.size()) {
          throw new IllegalStateException(
              "listed " + found + " printers of " + plugged.size() + " attached");
        }
        if (i >= 0) {
          samples[i] = took;
        }
      }
      return samples;
    } finally {
      for (SimulatedPrinter p : plugged) {
        p.unplug();
      }
    }
  }
}
