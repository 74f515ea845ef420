package com.velto.printer.bench;

import com.velto.printer.sim.DebugOutput;
import com.velto.printer.sim.Simulator;
import java.lang.reflect.InvocationTargetException;
import java.nio.file.Paths;
import java.util.HashMap;
import java.util.Locale;
import java.util.Map;

/**
 * The JVM benchmarks: the library through its natives on the simulated printers, each figure beside
 * a raw baseline measured in the same run. Nobody listens to the debugger output, as in the field.
 *
 * <p>Arguments: --out FILE, --label TEXT, --revision TEXT, --loss-seconds N (the steady full-speed
 * runs of one printer and of two at once, 60 by default), --quick (shorter runs everywhere, for a
 * look rather than a figure).
 */
public final class Bench {
  private Bench() {}

  static double dropped(long[] run) {
    return run[1];
  }

  /**
   * The p50 and p99 of the library's and the raw samples, each divided by scale; "%d" in the id
   * and the name stands for the percentile.
   */
  static void percentiles(Results results, String id, String name, String unit, long[] library,
      long[] raw, double scale) {
    percentiles(results, id, name, unit, library, raw, scale, 50, 99);
  }

  static void percentiles(Results results, String id, String name, String unit, long[] library,
      long[] raw, double scale, int... ps) {
    for (int p : ps) {
      results.metric(String.format(Locale.ROOT, id, p), String.format(Locale.ROOT, name, p), unit,
          "lower", Stats.percentile(library, p) / scale, Stats.percentile(raw, p) / scale);
    }
  }

  /**
   * Two printers streaming together, each through a UsbPrinter of its own, beside the latency of
   * one printer's stream at the same rate (oneLatency); and the listing of 16. Only where the
   * revision lists printers: tools/bench.sh leaves Several out for older ones.
   */
  static void several(Results results, double lossSeconds, long[] oneLatency, int readSize,
      int listings) throws Exception {
    Class<?> several;
    try {
      several = Class.forName(Bench.class.getPackageName() + ".Several");
    } catch (ClassNotFoundException e) {
      System.out.println("  (no UsbPrinter.list() in this revision: no runs of several printers)");
      return;
    }
    try {
      several
          .getDeclaredMethod(
              "measure", Results.class, double.class, long[].class, int.class, int.class)
          .invoke(null, results, lossSeconds, oneLatency, readSize, listings);
    } catch (InvocationTargetException e) {
      throw e.getCause() instanceof Exception ? (Exception) e.getCause() : e;
    }
  }

  public static void main(String[] args) throws Exception {
    Map<String, String> opt = new HashMap<>();
    for (int i = 0; i < args.length; i++) {
      if (args[i].equals("--quick")) {
        opt.put("quick", "1");
      } else {
        opt.put(args[i].substring(2), args[++i]);
      }
    }
    final boolean quick = opt.containsKey("quick");
    final double lossSeconds =
        Double.parseDouble(opt.getOrDefault("loss-seconds", quick ? "10" : "60"));
    final int latencyMessages = quick ? 1000 : 3000;
    final double sweepSeconds = quick ? 1.0 : 2.0;
    final int closeIterations = quick ? 60 : 200;
    final double cpuSeconds = quick ? 1.5 : 3.0;
    final int readSize = 4096;
    final int listings = quick ? 200 : 1000;

    Simulator.reset();
    DebugOutput.capture(false);
    Results results = new Results();
    results.header("label", opt.getOrDefault("label", "run"));
    results.header("revision", opt.getOrDefault("revision", "unknown"));
    results.header("platform", "Linux, JVM " + System.getProperty("java.version"));
    results.header("date", java.time.Instant.now().toString());
    results.header("cores", Integer.toString(Runtime.getRuntime().availableProcessors()));
    results.header("lossSeconds", Results.show(lossSeconds));
    results.header("quick", quick ? "yes" : "no");
    System.out.printf(Locale.ROOT, "  %-52s %14s %14s%n", "", "library", "raw");

    InboundBench lib = new InboundBench(Inbound.Kind.LIBRARY, readSize);
    InboundBench raw = new InboundBench(Inbound.Kind.RAW, readSize);
    long[] libLatency = lib.latency(latencyMessages);
    long[] rawLatency = raw.latency(latencyMessages);
    percentiles(results, "latency_p%d_us", "arrival-to-read latency p%d (printer class)", "µs",
        libLatency, rawLatency, 1e3);
    // Where the library's latency goes: the hand-off between a reading thread and the reader,
    // measured without the library.
    long[] relayLatency = new InboundBench(Inbound.Kind.RELAY, readSize).latency(latencyMessages);
    for (int p : new int[] {50, 99}) {
      results.metric(String.format(Locale.ROOT, "latency_relay_p%d_us", p),
          String.format(
              Locale.ROOT, "arrival-to-read latency p%d, raw through a reading thread", p),
          "µs", "lower", Double.NaN, Stats.percentile(relayLatency, p) / 1e3);
    }
    results.histogram("library", Stats.histogram(libLatency));
    results.histogram("raw", Stats.histogram(rawLatency));

    results.metric("inbound_lossfree_mbps", "loss-free inbound rate", "MB/s", "higher",
        lib.lossFreeRate(sweepSeconds, 128), raw.lossFreeRate(sweepSeconds, 128));
    results.metric("inbound_lossfree_mbps_blocks",
        "loss-free inbound rate, raw receiver of 64-byte overlapped reads", "MB/s", "higher",
        Double.NaN, InboundBench.rawBlocksLossFreeRate(sweepSeconds, 128));
    long steadyBytes = (long) (InboundBench.FULL_SPEED * lossSeconds);
    // Bytes that did not come are dropped unless the printer (or the ring)
    // still keeps them: then they are only late.
    InboundBench.ChunkLog libStream = new InboundBench.ChunkLog(lossSeconds);
    InboundBench.ChunkLog rawStream = new InboundBench.ChunkLog(lossSeconds);
    long[] libSteady = lib.steady(InboundBench.FULL_SPEED, steadyBytes, 2000, libStream);
    long[] rawSteady = raw.steady(InboundBench.FULL_SPEED, steadyBytes, 2000, rawStream);
    results.metric("lost_steady_bytes",
        "bytes dropped at 1.2 MB/s for " + Results.show(lossSeconds) + " s", "bytes", "lower",
        dropped(libSteady), dropped(rawSteady));
    results.metric("late_steady_bytes", "bytes of that run not delivered within 20 s of its end",
        "bytes", "lower", libSteady[0], rawSteady[0]);
    results.metric("latency_steady_p99_us", "arrival-to-read latency p99 of that run's stream",
        "µs", "lower", Stats.percentile(libStream.samples(), 99) / 1e3,
        Stats.percentile(rawStream.samples(), 99) / 1e3);
    results.metric("lost_paused_bytes", "bytes lost, reader paused while 64 KiB arrive", "bytes",
        "lower", dropped(lib.paused(65536)), dropped(raw.paused(65536)));

    try (WriteBench writes = new WriteBench()) {
      int rounds = quick ? 3 : 9;
      long roundMs = quick ? 150 : 300;
      for (int size : new int[] {64, 4096, 65536}) {
        String name = size >= 1024 ? (size / 1024) + " KiB" : size + " B";
        double[] ns = writes.nanosPerCall(size, rounds, roundMs);
        results.metric(
            "write_ns_" + size, "write of " + name + " per call", "ns", "lower", ns[0], ns[1]);
      }
    }

    long[] libPurge = PurgeBench.library(closeIterations);
    long[] rawPurge = PurgeBench.raw(closeIterations);
    percentiles(results, "purge_p%d_ms", "purge with a reader looping (native) p%d", "ms", libPurge,
        rawPurge, 1e6);

    long[] libClose = CloseBench.library(closeIterations);
    long[] rawClose = CloseBench.raw(closeIterations);
    percentiles(
        results, "close_p%d_ms", "close with a read pending p%d", "ms", libClose, rawClose, 1e6);

    for (CpuBench.Loop loop : CpuBench.Loop.values()) {
      results.metric("cpu_" + loop.name().toLowerCase(Locale.ROOT), "receiver CPU, " + loop.title,
          "% of a core", "lower", CpuBench.percent(loop, cpuSeconds), Double.NaN);
    }

    double cycleSeconds = quick ? 1.0 : 2.0;
    results.metric("cycles_per_s", "open/close cycles (printer class), median cycle", "per s",
        "higher", CycleBench.perSecond(true, cycleSeconds),
        CycleBench.perSecond(false, cycleSeconds));

    // Against the one printer's stream of the same rate: two printers at once are the change.
    several(results, lossSeconds, libStream.samples(), readSize, listings);

    results.write(Paths.get(opt.getOrDefault("out", "bench-results.json")));
  }
}
