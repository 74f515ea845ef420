package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.velto.printer.sim.DebugLog;
import com.velto.printer.sim.DebugOutput;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;

/**
 * Common ground of the tests that drive the library on a real JVM: a fresh simulator per test,
 * the library's debugger output collected, and a leak check after each test. Every wait has a
 * generous bound; no test measures time.
 */
abstract class LibraryTest {
  /** Upper bound of every wait, in milliseconds. */
  static final int BOUND_MS = 20_000;

  private static final Pattern TRACE = Pattern.compile("(?s)(.*?)\\((\\d+)\\) (.*)\\n");

  final UsbPort port = new UsbPort();
  final DebugLog log = new DebugLog();
  int readAccess;
  int writeAccess;

  @BeforeAll
  static void captureDebugOutput() {
    DebugOutput.capture(true);
  }

  @BeforeEach
  void freshSimulator() {
    Simulator.reset();
    Simulator.useHostPrinters(false);
    log.clear();
    readAccess = port.usbGetGenericReadValue();
    writeAccess = port.usbGetGenericWriteValue();
  }

  /** What the library leaves open once the devices are gone counts as a leak. */
  @AfterEach
  void nothingLeft() {
    Simulator.reset();
    String leaks = Simulator.leakReport(BOUND_MS);
    if (!leaks.isEmpty()) {
      // Keep a failed test from failing the next ones as well.
      port.usbClosePipe(port.hReadPort);
      port.usbClosePipe(port.hWritePort);
    }
    assertEquals("", leaks, "left open by the test");
    assertEquals(0, DebugOutput.dropped(), "debugger output dropped");
  }

  static SimulatedPrinter plugNative(String serial) {
    return SimulatedPrinter.plugNative(SimulatedPrinter.nativePath(serial));
  }

  static SimulatedPrinter plugPrinterClass(String serial) {
    return SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath(serial));
  }

  /** Opens the read pipe and expects the type. */
  void openRead(int expectedType) {
    assertEquals(expectedType, port.usbInitPipe(port, readAccess), "usbInitPipe(read)");
  }

  void openWrite(int expectedType) {
    assertEquals(expectedType, port.usbInitPipe(port, writeAccess), "usbInitPipe(write)");
  }

  static byte[] ascii(String s) {
    return s.getBytes(StandardCharsets.ISO_8859_1);
  }

  static String ascii(byte[] b) {
    return new String(b, StandardCharsets.ISO_8859_1);
  }

  static String ascii(byte[] b, int n) {
    return new String(b, 0, n, StandardCharsets.ISO_8859_1);
  }

  /** A trace line's tag and text, without its source line: "tag|text". */
  static String tagAndText(String line) {
    Matcher m = TRACE.matcher(line);
    return m.matches() ? m.group(1) + "|" + m.group(3) : line;
  }

  /** Whether a trace line with this tag and text was collected. */
  boolean traced(String tag, String text) {
    return !log.matching(l -> tagAndText(l).equals(tag + "|" + text)).isEmpty();
  }

  boolean awaitTrace(String tag, String text) {
    return log.await(l -> tagAndText(l).equals(tag + "|" + text), 1, BOUND_MS);
  }

  /**
   * Reads from a printer-class printer until {@code n} bytes came or the bound passed: a read
   * returns -1 after 100 ms without bytes, so a caller asks again.
   */
  byte[] readPrinterClass(int n) {
    byte[] out = new byte[n];
    int got = 0;
    long deadline = System.nanoTime() + BOUND_MS * 1_000_000L;
    byte[] buffer = new byte[64];
    while (got < n && System.nanoTime() < deadline) {
      int r = port.usbReadInputPipe(port.hReadPort, buffer);
      if (r > 0) {
        assertTrue(got + r <= n, "more bytes than sent");
        System.arraycopy(buffer, 0, out, got, r);
        got += r;
      }
    }
    assertEquals(n, got, "bytes read within the bound");
    return out;
  }

  /** Runs {@code call} on another thread and returns its result, failing after the bound. */
  static <T> T withinBound(String what, Callable<T> call) throws Exception {
    ExecutorService ex = Executors.newSingleThreadExecutor();
    try {
      Future<T> f = ex.submit(call);
      try {
        return f.get(BOUND_MS, TimeUnit.MILLISECONDS);
      } catch (TimeoutException e) {
        fail(what + " did not return within " + BOUND_MS + " ms");
        return null;
      }
    } finally {
      ex.shutdown();
    }
  }
}
