package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.sim.CommTimeouts;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import java.io.IOException;
import java.nio.channels.ClosedChannelException;
import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** A close from another Java thread while a read waits. */
class ConcurrentCloseTest extends LibraryTest {
  @Test
  void printerClassCloseWhileAJavaReadWaitsForBytes() throws Exception {
    SimulatedPrinter printer = plugPrinterClass("C1");
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    openWrite(UsbPort.USB_TYPE_PRINTER_CLASS);
    int read = port.hReadPort;
    AtomicInteger lastResult = new AtomicInteger(-2);
    AtomicInteger bytes = new AtomicInteger();
    Thread reader =
        new Thread(
            () -> {
              byte[] buffer = new byte[32];
              int n;
              // Reads until one fails after the close: a read without bytes fails too
              // (after 100 ms), so only the count of bytes tells the two apart.
              do {
                n = port.usbReadInputPipe(read, buffer);
                if (n > 0) {
                  bytes.addAndGet(n);
                }
              } while (n > 0 || printer.pendingReads() > 0);
              lastResult.set(n);
            },
            "reader");
    reader.start();
    assertTrue(awaitTrace("GetPCLSData", "Before WaitForMultipleObjects"), "the read waits");

    assertEquals(Integer.valueOf(0), withinBound("close", () -> port.usbClosePipe(read)));
    reader.join(BOUND_MS);
    assertFalse(reader.isAlive(), "the read returned");
    assertEquals(-1, lastResult.get());
    assertEquals(0, bytes.get(), "no bytes invented");
    assertEquals(-1, port.usbReadInputPipe(read, new byte[8]), "a read after the close");
    assertEquals(0, port.usbGetBytesAvailable());
  }

  @Test
  void printerClassCloseWhileManyReadersRead() throws Exception {
    SimulatedPrinter printer = plugPrinterClass("C2");
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    int read = port.hReadPort;
    Thread[] readers = new Thread[4];
    for (int i = 0; i < readers.length; i++) {
      readers[i] =
          new Thread(
              () -> {
                byte[] buffer = new byte[8];
                while (port.usbReadInputPipe(read, buffer) > 0 || printer.pendingReads() > 0) {}
              });
      readers[i].start();
    }
    assertTrue(printer.waitPendingReads(1, BOUND_MS));
    assertTrue(printer.send(new byte[200]));
    assertTrue(printer.waitDrained(BOUND_MS));
    assertEquals(Integer.valueOf(0), withinBound("close", () -> port.usbClosePipe(read)));
    for (Thread t : readers) {
      t.join(BOUND_MS);
      assertFalse(t.isAlive());
    }
  }

  @Test
  void nativeCloseWhileAReadBlocksEndsTheRead() throws Exception {
    SimulatedPrinter printer = plugNative("C3");
    openRead(UsbPort.USB_TYPE_NATIVE);
    int read = port.hReadPort;
    // No time-outs: the read waits until it has all 16 bytes.
    assertEquals(0, port.usbSetCommTimeout(read, 0, 0, 0, 0, 0));
    AtomicInteger result = new AtomicInteger(-2);
    AtomicInteger error = new AtomicInteger();
    Thread reader =
        new Thread(
            () -> {
              result.set(port.usbReadInputPipe(read, new byte[16]));
              error.set(port.usbGetLastError());
            },
            "reader");
    reader.start();
    assertTrue(printer.waitPendingReads(1, BOUND_MS), "the read blocks");
    assertTrue(printer.send(ascii("part")));

    assertEquals(0, port.usbClosePipe(read));
    reader.join(BOUND_MS);
    assertFalse(reader.isAlive(), "the close ended the read");
    assertEquals(-1, result.get());
    assertEquals(Win32.ERROR_OPERATION_ABORTED, error.get());
  }

  /** A call nothing can end: the close returns in seconds, and no open goes on until it has. */
  @ParameterizedTest(name = "reading={0}")
  @ValueSource(booleans = {true, false})
  void aCallTheCloseCannotEndHoldsBackTheNextOpenUntilItReturns(boolean reading) throws Exception {
    SimulatedPrinter sim = plugNative("C4");
    UsbPrinter printer = UsbPrinter.open();
    assertTrue(sim.setWriteStall(!reading));
    if (reading) { // a driver that keeps its own read time-out: the read outlasts its step
      sim.setTimeouts(new CommTimeouts(0, 0, -2, 0, 0));
    }
    CompletableFuture<Object> call = new CompletableFuture<>();
    new Thread(() -> {
      try {
        if (reading) {
          call.complete(printer.read(new byte[8], Duration.ofMillis(BOUND_MS)));
        } else {
          printer.write(ascii("late"));
          call.complete("late");
        }
      } catch (IOException e) {
        call.complete(e);
      }
    }).start();
    assertTrue(reading ? sim.waitPendingReads(1, BOUND_MS) : sim.waitPendingWrites(1, BOUND_MS));
    Simulator.injectFailure(EmulatedFunction.CancelIoEx, 0, Simulator.UNTIL_CLEARED,
        Win32.ERROR_ACCESS_DENIED);
    long start = System.nanoTime();
    assertThrows(UsbIOException.class, printer::close, "the close says what it could not end");
    assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(10), "the close returns");
    assertThrows(ClosedChannelException.class, () -> printer.write(ascii("x")));
    assertThrows(IllegalStateException.class, UsbPrinter::open, "the call is still inside");

    Simulator.clearInjections();
    assertTrue(reading ? sim.send("r") : sim.setWriteStall(false));
    assertEquals(reading ? 1 : "late", call.get(BOUND_MS, TimeUnit.MILLISECONDS), "nothing lost");
    try (UsbPrinter again = UsbPrinter.open()) {
      again.write(ascii("new"));
    }
    assertEquals(reading ? "new" : "latenew", ascii(sim.written()));
  }
}
