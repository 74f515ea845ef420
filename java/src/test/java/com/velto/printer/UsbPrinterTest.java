package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.UsbPrinter.Type;
import com.velto.printer.sim.CommTimeouts;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.Pipe;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import java.io.IOException;
import java.io.InterruptedIOException;
import java.io.UncheckedIOException;
import java.nio.channels.AsynchronousCloseException;
import java.nio.channels.ClosedChannelException;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/** {@link UsbPrinter} on simulated printers of both USB types, run from the dist jars alone. */
class UsbPrinterTest extends LibraryTest {
  private static final Duration BOUND = Duration.ofMillis(BOUND_MS);
  private static final byte[] STATUS_REQUEST = {0x10, 0x04, 0x01};

  private UsbPrinter printer;
  private SimulatedPrinter sim;

  @AfterEach
  void closePrinter() throws IOException {
    if (printer != null) {
      printer.close();
    }
  }

  private void open(Type type) throws IOException {
    sim = type == Type.NATIVE ? plugNative("U1") : plugPrinterClass("U1");
    printer = UsbPrinter.open();
    assertEquals(type, printer.type());
  }

  /**
   * Starts a read of up to 64 bytes in another thread; its result is the count or the exception.
   */
  private CompletableFuture<Object> readInBackground() throws Exception {
    CompletableFuture<Object> result = new CompletableFuture<>();
    Thread t =
        new Thread(
            () -> {
              try {
                result.complete(printer.read(new byte[64], BOUND));
              } catch (IOException e) {
                result.complete(e);
              }
            });
    log.clear();
    t.start();
    if (printer.type() == Type.NATIVE) {
      assertTrue(sim.waitPendingReads(1, BOUND_MS), "the read waits");
    } else {
      assertTrue(awaitTrace("GetPCLSData", "Before WaitForMultipleObjects"), "the read waits");
    }
    return result;
  }

  private void writeOrThrow(String text) {
    try {
      printer.write(ascii(text));
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
  }

  private String readText(int n) throws IOException {
    byte[] b = new byte[n];
    for (int got = 0; got < n; ) {
      got += printer.inputStream().read(b, got, n - got);
    }
    return ascii(b);
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void writesReadsAndCloses(Type type) throws Exception {
    open(type);
    assertThrows(IllegalStateException.class, UsbPrinter::open, "one printer per process");
    sim.addResponder(STATUS_REQUEST, new byte[] {0x16});
    printer.write(ascii("receipt\n"));
    printer.outputStream().write(STATUS_REQUEST);
    byte[] reply = new byte[8];
    assertEquals(1, printer.read(reply, BOUND));
    assertEquals(0x16, reply[0]);
    if (type == Type.NATIVE) {
      int step = (int) UsbPrinter.streamStep().toMillis();
      assertEquals(new CommTimeouts(-1, -1, step, 0, 0), sim.timeouts(), "read's time-out");
    }
    assertEquals(0, printer.read(reply, Duration.ZERO), "nothing in time");
    assertTrue(sim.send("streamed"));
    assertEquals("streamed", readText(8));
    assertArrayEquals(ascii("receipt\n\u0010\u0004\u0001"), sim.written());
    assertTrue(printer.isConnected());

    printer.close();
    printer.close();
    assertFalse(printer.isConnected());
    assertThrows(ClosedChannelException.class, () -> printer.read(reply, BOUND));
    assertThrows(ClosedChannelException.class, () -> printer.write(reply));
    printer = UsbPrinter.open();
    printer.write(ascii("again"));
    assertTrue(sim.waitWritten(16, BOUND_MS));
  }

  @Test
  void withoutAPrinterOpenThrows() {
    assertThrows(PrinterNotFoundException.class, UsbPrinter::open);
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void failuresCarryTheWindowsCodeAndTheTrimmedText(Type type) throws Exception {
    open(type);
    Simulator.setMessageText(Win32.ERROR_INVALID_PARAMETER, "Bad parameter.  \r\n");
    assertTrue(sim.scriptWriteError(Pipe.ANY, Win32.ERROR_INVALID_PARAMETER));
    UsbIOException e = assertThrows(UsbIOException.class, () -> printer.write(ascii("x")));
    assertEquals(Win32.ERROR_INVALID_PARAMETER, e.errorCode());
    assertEquals("Bad parameter.", e.getMessage());
    assertTrue(sim.scriptWriteError(Pipe.ANY, Win32.ERROR_ACCESS_DENIED));
    e = assertThrows(UsbIOException.class, () -> printer.write(ascii("x")));
    assertEquals(Win32.ERROR_ACCESS_DENIED, e.errorCode(), "a refusal of a printer still there");
    if (type == Type.NATIVE) {
      assertTrue(sim.scriptReadError(Pipe.PIPE00, Win32.ERROR_NOT_ENOUGH_MEMORY));
      e = assertThrows(UsbIOException.class, () -> printer.read(new byte[4], BOUND));
      assertEquals(Win32.ERROR_NOT_ENOUGH_MEMORY, e.errorCode());
    }
    assertTrue(printer.isConnected(), "failures that do not mean the printer is gone");
    if (type == Type.PRINTER_CLASS) {
      // The receiver ends on its own (its read event cannot be reset): reads come back at once.
      assertTrue(sim.waitPendingReads(1, BOUND_MS));
      Simulator.injectFailure(EmulatedFunction.ResetEvent, 0, 1, Win32.ERROR_INVALID_HANDLE);
      assertTrue(sim.send("x"));
      assertTrue(awaitTrace("_ReceiveData", "***** EXIT *****"));
      log.clear();
      try {
        assertEquals(0, printer.read(new byte[4], Duration.ofSeconds(1)));
      } catch (UsbIOException | PrinterDisconnectedException stopped) {
        // The library tells that the receiver has stopped.
      }
      assertTrue(log.count("Entering usbReadInputPipe") <= 20, "one read per step, no spin");
    }
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void unplugAndReplugDuringARead(Type type) throws Exception {
    open(type);
    CompletableFuture<Object> read = readInBackground();
    assertTrue(sim.unplug());
    assertInstanceOf(PrinterDisconnectedException.class, read.get(BOUND_MS, TimeUnit.MILLISECONDS));
    assertFalse(printer.isConnected());
    assertThrows(PrinterDisconnectedException.class, () -> printer.write(ascii("lost")));

    assertTrue(sim.replug());
    if (type == Type.PRINTER_CLASS) {
      assertTrue(sim.waitPendingReads(1, BOUND_MS), "the receiver reads the printer again");
    }
    assertEquals(0, printer.read(new byte[4], Duration.ZERO));
    assertTrue(printer.isConnected(), "a read that found the printer there, silent");
    printer.write(ascii("back"));
    assertTrue(sim.waitWritten(4, BOUND_MS));
    assertTrue(sim.send("ok"));
    assertEquals("ok", readText(2));
    assertTrue(printer.isConnected());
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void closeFromAnotherThreadEndsTheReadWhileWritersWrite(Type type) throws Exception {
    open(type);
    CompletableFuture<Object> read = readInBackground();
    List<Thread> writers = new ArrayList<>();
    Set<String> sent = new HashSet<>();
    for (int w = 0; w < 4; w++) {
      List<String> mine = new ArrayList<>();
      for (int i = 0; i < 25; i++) {
        mine.add(String.format("w%d-%03d\n", w, i));
      }
      sent.addAll(mine);
      Thread t = new Thread(() -> {
        for (String m : mine) {
          writeOrThrow(m);
        }
      });
      writers.add(t);
      t.start();
    }
    for (Thread t : writers) {
      t.join(BOUND_MS);
    }
    String written = ascii(sim.written());
    assertEquals(sent.size() * 7, written.length());
    assertEquals(sent, new HashSet<>(List.of(written.split("(?<=\n)"))), "every write whole");

    assertTrue(sim.setWriteStall(true));
    CompletableFuture<Void> stalled = CompletableFuture.runAsync(() -> writeOrThrow("stalled"));
    assertTrue(sim.waitPendingWrites(1, BOUND_MS));
    printer.close();
    assertInstanceOf(AsynchronousCloseException.class, read.get(BOUND_MS, TimeUnit.MILLISECONDS));
    ExecutionException e =
        assertThrows(ExecutionException.class, () -> stalled.get(BOUND_MS, TimeUnit.MILLISECONDS));
    assertInstanceOf(AsynchronousCloseException.class, e.getCause().getCause(), "write ended");
    printer = UsbPrinter.open();
    assertTrue(sim.setWriteStall(false));
    printer.write(ascii("after"));
    assertEquals(sent.size() * 7 + 5, sim.written().length, "the ended write sent nothing");
  }

  @Test
  void anInterruptEndsAStreamRead() throws Exception {
    open(Type.NATIVE);
    CompletableFuture<Object> result = new CompletableFuture<>();
    Thread t =
        new Thread(
            () -> {
              try {
                result.complete(printer.inputStream().read());
              } catch (IOException e) {
                result.complete(Thread.currentThread().isInterrupted() ? e : null);
              }
            });
    t.start();
    assertTrue(sim.waitPendingReads(1, BOUND_MS));
    t.interrupt();
    assertInstanceOf(InterruptedIOException.class, result.get(BOUND_MS, TimeUnit.MILLISECONDS));
  }

  private void stall() {
    assertTrue(sim.setWriteStall(true));
  }

  /** Runs {@code call} in a thread, interrupts it once it waits, and returns what it threw. */
  private static Object interruptOnceWaiting(Executable call, BooleanSupplier waits)
      throws Exception {
    CompletableFuture<Object> ended = new CompletableFuture<>();
    Thread t =
        new Thread(
            () -> {
              try {
                call.execute();
                ended.complete("returned");
              } catch (Throwable e) {
                ended.complete(Thread.currentThread().isInterrupted() ? e : "flag cleared: " + e);
              }
            });
    t.start();
    assertTrue(waits.getAsBoolean(), "the call waits");
    t.interrupt();
    return ended.get(BOUND_MS, TimeUnit.MILLISECONDS);
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void aShortWriteThrowsAndALongOneGoesOutInPieces(Type type) throws Exception {
    open(type);
    assertTrue(sim.scriptShortWrite(Pipe.ANY, 10));
    WriteTimeoutException e =
        assertThrows(WriteTimeoutException.class, () -> printer.write(new byte[100]));
    assertEquals(10, e.bytesTransferred);
    byte[] data = new byte[200_000];
    new Random(7).nextBytes(data);
    List<Long> progress = new ArrayList<>();
    CompletableFuture<Void> other = new CompletableFuture<>();
    printer.write(data, BOUND, done -> {
      progress.add(done);
      if (done == 65_536) { // another thread writes between two pieces: it waits for the rest
        sim.setWriteStall(true);
        new Thread(() -> {
          writeOrThrow("other");
          other.complete(null);
        }).start();
        assertFalse(sim.waitPendingWrites(1, 500), "the other write reached the printer");
        sim.setWriteStall(false);
      }
    });
    assertEquals(List.of(65_536L, 131_072L, 196_608L, 200_000L), progress);
    other.get(BOUND_MS, TimeUnit.MILLISECONDS);
    assertArrayEquals(data, Arrays.copyOfRange(sim.written(), 10, 200_010));
    assertEquals("other", ascii(Arrays.copyOfRange(sim.written(), 200_010, 200_015)));
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void aStalledPrinterTimesOutWithTheCountAndAnInterruptEndsWaits(Type type) throws Exception {
    open(type);
    WriteTimeoutException e =
        assertThrows(
            WriteTimeoutException.class,
            () -> printer.write(new byte[100_000], Duration.ofMillis(300), n -> stall()));
    assertEquals(65_536, e.bytesTransferred, "the first piece went out, then the printer stalled");
    Object ended =
        interruptOnceWaiting(
            () -> printer.write(ascii("stalled")), () -> sim.waitPendingWrites(1, BOUND_MS));
    assertEquals(InterruptedIOException.class, ended.getClass());
    log.clear();
    BooleanSupplier reads =
        type == Type.NATIVE
            ? () -> sim.waitPendingReads(1, BOUND_MS)
            : () -> awaitTrace("GetPCLSData", "Before WaitForMultipleObjects");
    ended = interruptOnceWaiting(() -> printer.read(new byte[8], BOUND), reads);
    assertEquals(InterruptedIOException.class, ended.getClass());
    assertTrue(sim.setWriteStall(false));
    printer.write(ascii("after"));
    assertEquals(65_536 + 5, sim.written().length, "neither ended write sent a byte again");
  }
}
