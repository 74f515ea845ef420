package com.velto.printer.bench;

import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicLongArray;
import java.util.concurrent.locks.LockSupport;
import java.util.function.Function;

/**
 * Printer to Java: arrival-to-read latency, the highest inbound rate without loss, the bytes lost
 * at a steady full-speed rate and while the reader is paused.
 */
final class InboundBench {
  /** Bytes not delivered this long after the last was sent count as lost. */
  static final long LATE_MS = 20_000;

  /** A full-speed USB printer: 19 packets of 64 bytes per 1 ms frame, about 1.2 MB/s. */
  static final double FULL_SPEED = 1.2e6;

  private static int serial;
  private final Function<String, Inbound> opener;
  private final String name;
  private final int readSize;

  InboundBench(Inbound.Kind kind, int readSize) {
    this(s -> Inbound.open(kind, s), kind.name().toLowerCase(java.util.Locale.ROOT), readSize);
  }

  /** Printers that opener plugs and opens, by the serial number it is given. */
  InboundBench(Function<String, Inbound> opener, String name, int readSize) {
    this.opener = opener;
    this.name = name;
    this.readSize = readSize;
  }

  private Inbound open() {
    return opener.apply(name + "in" + (++serial));
  }

  static byte patternByte(long p) {
    return (byte) (p * 131 + (p >>> 9));
  }

  /** Sends total bytes of the pattern at a steady rate, in the chunks due every 0.1 ms or so. */
  static void sendPaced(SimulatedPrinter printer, double bytesPerSecond, long total) {
    sendPaced(printer, bytesPerSecond, total, null);
  }

  /** The same, each chunk sent logged first when there is a log. */
  static void sendPaced(SimulatedPrinter printer, double bytesPerSecond, long total, ChunkLog log) {
    final long start = System.nanoTime();
    long sent = 0;
    while (sent < total) {
      long now = System.nanoTime();
      long due = Math.min(total, (long) (bytesPerSecond * (now - start) / 1e9));
      if (due > sent) {
        int n = (int) Math.min(due - sent, 1 << 20);
        byte[] chunk = new byte[n];
        for (int i = 0; i < n; i++) {
          chunk[i] = patternByte(sent + i);
        }
        if (log != null) {
          log.sending(sent + n, now);
        }
        printer.send(chunk);
        sent += n;
      } else {
        LockSupport.parkNanos(100_000);
      }
    }
  }

  /** A reader thread that counts bytes and checks them against the pattern. */
  private final class Drain extends Thread {
    final Inbound in;
    final ChunkLog log; // null: no latency taken
    final AtomicLong received = new AtomicLong();
    volatile long mismatches;
    volatile boolean stop;

    Drain(Inbound in) {
      this(in, null);
    }

    Drain(Inbound in, ChunkLog log) {
      this.in = in;
      this.log = log;
      setDaemon(true);
    }

    @Override
    public void run() {
      byte[] buf = new byte[readSize];
      long pos = 0;
      while (!stop) {
        int n = in.read(buf);
        if (stop) {
          break;
        }
        for (int i = 0; i < n; i++) {
          if (buf[i] != patternByte(pos + i)) {
            mismatches++;
          }
        }
        if (n > 0) {
          pos += n;
          received.addAndGet(n);
          if (log != null) {
            log.arrived(pos, System.nanoTime());
          }
        }
      }
    }

    /**
     * Waits until total bytes came, no byte came for quietMs, or LATE_MS passed; the bytes
     * received.
     */
    long await(long total, long quietMs) throws InterruptedException {
      long last = received.get();
      long lastChange = System.nanoTime();
      long end = lastChange + LATE_MS * 1_000_000L;
      while (received.get() < total && System.nanoTime() < end) {
        Thread.sleep(5);
        long now = received.get();
        if (now != last) {
          last = now;
          lastChange = System.nanoTime();
        } else if (System.nanoTime() - lastChange > quietMs * 1_000_000L) {
          break;
        }
      }
      return received.get();
    }

    void finish() throws InterruptedException {
      stop = true;
      in.wake();
      join();
    }

    /**
     * Of total sent: {not delivered, dropped}. What was not delivered and is not kept in the
     * printer or the ring either was dropped.
     */
    long[] loss(long total) throws InterruptedException {
      finish();
      long held = in.held();
      long undelivered = total - received.get();
      return new long[] {undelivered, Math.max(0, undelivered - held)};
    }
  }

  /** Arrival-to-read latency of 16-byte messages about 1 ms apart, in ns (warm-up dropped). */
  long[] latency(int messages) throws Exception {
    final AtomicLongArray sentAt = new AtomicLongArray(messages);
    final long[] latency = new long[messages];
    try (Inbound in = open()) {
      Thread reader = new Thread(() -> {
        byte[] buf = new byte[readSize];
        byte[] pending = new byte[16];
        int have = 0;
        int got = 0;
        while (got < messages) {
          int n = in.read(buf);
          long now = System.nanoTime();
          for (int i = 0; i < n; i++) {
            pending[have++] = buf[i];
            if (have == 16) {
              int seq = (pending[0] & 0xFF) | (pending[1] & 0xFF) << 8 | (pending[2] & 0xFF) << 16
                  | (pending[3] & 0xFF) << 24;
              latency[seq] = now - sentAt.get(seq);
              have = 0;
              got++;
            }
          }
        }
      });
      reader.setDaemon(true);
      reader.start();
      byte[] frame = new byte[16];
      for (int seq = 0; seq < messages; seq++) {
        frame[0] = (byte) seq;
        frame[1] = (byte) (seq >>> 8);
        frame[2] = (byte) (seq >>> 16);
        frame[3] = (byte) (seq >>> 24);
        sentAt.set(seq, System.nanoTime());
        in.printer.send(frame);
        LockSupport.parkNanos(1_000_000);
      }
      reader.join(20_000);
      if (reader.isAlive()) {
        throw new IllegalStateException("latency: messages lost");
      }
    }
    int warm = messages / 10;
    long[] samples = new long[messages - warm];
    System.arraycopy(latency, warm, samples, 0, samples.length);
    return samples;
  }

  /**
   * {not delivered, dropped} of total sent at a steady rate to a reader that reads all along; the
   * stream's latencies go to log.
   */
  long[] steady(double bytesPerSecond, long total, long quietMs, ChunkLog log) throws Exception {
    try (Inbound in = open()) {
      Drain drain = new Drain(in, log);
      drain.start();
      sendPaced(in.printer, bytesPerSecond, total, log);
      drain.await(total, quietMs);
      return drain.loss(total);
    }
  }

  /**
   * When chunks of a paced stream were sent, one a millisecond as the latency run's messages, and
   * how long after each the read that completed it returned: the arrival-to-read latency of a
   * steady stream.
   */
  static final class ChunkLog {
    private static final long EVERY_NS = 1_000_000;
    private final long[] ends;
    private final long[] sentAt;
    private final long[] latency;
    private volatile int logged;
    private long lastLog; // sender only
    private int timed; // reader only

    ChunkLog(double seconds) {
      int capacity = (int) (seconds * 1e9 / EVERY_NS) + 1000;
      ends = new long[capacity];
      sentAt = new long[capacity];
      latency = new long[capacity];
    }

    /** Before the chunk ending at end is sent, so that a reader with its bytes finds it. */
    void sending(long end, long now) {
      int n = logged;
      if ((n == 0 || now - lastLog >= EVERY_NS) && n < ends.length) {
        ends[n] = end;
        sentAt[n] = now;
        lastLog = now;
        logged = n + 1;
      }
    }

    /** The reader holds the first pos bytes since now. */
    void arrived(long pos, long now) {
      int n = logged;
      while (timed < n && ends[timed] <= pos) {
        latency[timed] = now - sentAt[timed];
        timed++;
      }
    }

    /** The latencies in ns, the first tenth (warm-up) dropped as in the latency run. */
    long[] samples() {
      int warm = timed / 10;
      return Arrays.copyOfRange(latency, warm, timed);
    }
  }

  /** Of one printer of several read together: bytes dropped or out of sequence, and latencies. */
  record Stream(long lost, long[] latencyNanos) {}

  /**
   * Total bytes sent at a steady rate to each of several printers at once, each read by a thread
   * of its own and fed by one: what each lost (dropped, or out of sequence) and its latencies.
   */
  Stream[] together(int printers, double bytesPerSecond, long total, long quietMs)
      throws Exception {
    List<Inbound> opened = new ArrayList<>();
    List<Drain> drains = new ArrayList<>();
    ExecutorService senders = Executors.newFixedThreadPool(printers);
    try {
      for (int i = 0; i < printers; i++) {
        Inbound in = open();
        opened.add(in);
        Drain drain = new Drain(in, new ChunkLog(total / bytesPerSecond));
        drains.add(drain);
        drain.start();
      }
      List<Future<?>> sending = new ArrayList<>();
      for (Drain d : drains) {
        sending.add(senders.submit(() -> sendPaced(d.in.printer, bytesPerSecond, total, d.log)));
      }
      for (Future<?> f : sending) {
        f.get();
      }
      Stream[] out = new Stream[printers];
      for (int i = 0; i < printers; i++) {
        Drain d = drains.get(i);
        d.await(total, quietMs);
        out[i] = new Stream(d.loss(total)[1] + d.mismatches, d.log.samples());
      }
      return out;
    } finally {
      senders.shutdownNow();
      for (Drain d : drains) {
        d.finish();
      }
      for (Inbound in : opened) {
        in.close();
      }
    }
  }

  /** Whether total bytes at this rate all arrive within the run plus a short grace. */
  boolean keepsUp(double bytesPerSecond, double seconds) throws Exception {
    long total = (long) (bytesPerSecond * seconds);
    try (Inbound in = open()) {
      Drain drain = new Drain(in);
      drain.start();
      long start = System.nanoTime();
      sendPaced(in.printer, bytesPerSecond, total);
      long graceMs = Math.max(300, (long) (seconds * 150));
      long deadline = start + (long) (seconds * 1e9) + graceMs * 1_000_000L;
      while (drain.received.get() < total && System.nanoTime() < deadline) {
        Thread.sleep(2);
      }
      boolean ok = drain.received.get() == total && drain.mismatches == 0;
      drain.finish();
      return ok;
    }
  }

  /** Whether a raw receiver of 64-byte overlapped reads takes total bytes at this rate in time. */
  static boolean rawBlocksKeepUp(double bytesPerSecond, double seconds) throws Exception {
    long total = (long) (bytesPerSecond * seconds);
    SimulatedPrinter printer = SimulatedPrinter.plugPrinterClass(SimulatedPrinter.interfacePath(
        "vid_0000&pid_0000", "rawblocks" + (++serial), Simulator.printerClassInterfaceClass()));
    long receiver = RawDevice.startReceiver(RawDevice.open(printer.path() + "\\PIPE00", true));
    try {
      long start = System.nanoTime();
      sendPaced(printer, bytesPerSecond, total);
      long graceMs = Math.max(300, (long) (seconds * 150));
      long deadline = start + (long) (seconds * 1e9) + graceMs * 1_000_000L;
      while (RawDevice.receiverBytes(receiver) < total && System.nanoTime() < deadline) {
        Thread.sleep(2);
      }
      return RawDevice.receiverBytes(receiver) == total;
    } finally {
      RawDevice.stopReceiver(receiver);
      printer.unplug();
    }
  }

  /**
   * Highest rate in MB/s (from a doubling sweep, then bisected) at which nothing is lost or late.
   */
  double lossFreeRate(double seconds, double maxMBps) throws Exception {
    return sweep(seconds, maxMBps, r -> keepsUp(r, seconds));
  }

  /** The same for the raw receiver of 64-byte blocks. */
  static double rawBlocksLossFreeRate(double seconds, double maxMBps) throws Exception {
    return sweep(seconds, maxMBps, r -> rawBlocksKeepUp(r, seconds));
  }

  interface Trial {
    boolean keepsUp(double bytesPerSecond) throws Exception;
  }

  static double sweep(double seconds, double maxMBps, Trial trial) throws Exception {
    double pass = 0;
    double fail = 0;
    for (double rate = 0.125; rate <= maxMBps; rate *= 2) {
      if (trial.keepsUp(rate * 1e6)) {
        pass = rate;
      } else {
        fail = rate;
        break;
      }
    }
    for (int i = 0; i < 3 && fail > 0 && pass > 0; i++) {
      double mid = Math.sqrt(pass * fail);
      if (trial.keepsUp(mid * 1e6)) {
        pass = mid;
      } else {
        fail = mid;
      }
    }
    return pass;
  }

  /** {not delivered, dropped} when 64 KiB arrive at full speed while the reader is paused. */
  long[] paused(int total) throws Exception {
    try (Inbound in = open()) {
      sendPaced(in.printer, FULL_SPEED, total);
      Thread.sleep(500);
      Drain drain = new Drain(in);
      drain.start();
      drain.await(total, 2000);
      return drain.loss(total);
    }
  }
}
