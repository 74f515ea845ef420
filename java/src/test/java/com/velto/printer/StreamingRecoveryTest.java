package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import java.io.ByteArrayOutputStream;
import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Printer-class bytes streaming in while a Java thread reads, and the receiver's recovery when the
 * printer is unplugged and plugged in again during the reads.
 *
 * <p>The simulated unplug fails the open handles with {@code ERROR_DEVICE_NOT_CONNECTED}, for
 * good. The receiver reopens after that code as after {@code ERROR_ACCESS_DENIED} and {@code
 * ERROR_INVALID_HANDLE}, at the pace of the handle row, until the printer is back. The tests also
 * make a read fail with one of those two codes once the printer is back, and check that the reads,
 * and the writes through the reopened write handle, go on.
 */
class StreamingRecoveryTest extends LibraryTest {

  /** A Java thread that reads until stopped and keeps every byte it got. */
  private final class Reader extends Thread {
    private final ByteArrayOutputStream received = new ByteArrayOutputStream();
    private volatile boolean stop;

    Reader() {
      super("printer reader");
      setDaemon(true);
    }

    @Override
    public void run() {
      byte[] buffer = new byte[97];
      while (!stop) {
        int n = port.usbReadInputPipe(port.hReadPort, buffer);
        if (n > 0) {
          synchronized (received) {
            received.write(buffer, 0, n);
            received.notifyAll();
          }
        }
      }
    }

    int count() {
      synchronized (received) {
        return received.size();
      }
    }

    byte[] bytes() {
      synchronized (received) {
        return received.toByteArray();
      }
    }

    /** Waits until the reader holds {@code n} bytes in all. */
    boolean awaitCount(int n) throws InterruptedException {
      long deadline = System.nanoTime() + BOUND_MS * 1_000_000L;
      synchronized (received) {
        while (received.size() < n) {
          long left = (deadline - System.nanoTime()) / 1_000_000L;
          if (left <= 0) {
            return false;
          }
          received.wait(left);
        }
        return true;
      }
    }

    void finish() throws InterruptedException {
      stop = true;
      join(BOUND_MS);
      assertFalse(isAlive(), "reader ended");
    }
  }

  private SimulatedPrinter openBoth() {
    SimulatedPrinter printer = plugPrinterClass("S1");
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    openWrite(UsbPort.USB_TYPE_PRINTER_CLASS);
    assertTrue(printer.waitPendingReads(1, BOUND_MS));
    return printer;
  }

  @Test
  void bytesStreamingInArriveCompleteAndInOrder() throws Exception {
    SimulatedPrinter printer = openBoth();
    Reader reader = new Reader();
    reader.start();

    // Chunks of odd sizes; never more than 2048 bytes ahead of the reader, so that the 4096-byte
    // ring buffer cannot overflow whatever the scheduling.
    byte[] stream = new byte[96 * 1024];
    for (int i = 0; i < stream.length; i++) {
      stream[i] = (byte) (i * 31 + (i >> 8));
    }
    int sent = 0;
    int chunk = 1;
    while (sent < stream.length) {
      int n = Math.min(Math.min(chunk, 500), stream.length - sent);
      assertTrue(reader.awaitCount(Math.max(0, sent + n - 2048)), "reader keeps up");
      assertTrue(printer.send(Arrays.copyOfRange(stream, sent, sent + n)));
      sent += n;
      chunk = chunk * 3 % 511 + 1;
    }
    assertTrue(reader.awaitCount(stream.length), "every byte read");
    reader.finish();
    assertArrayEquals(stream, reader.bytes());
    assertEquals(0, port.usbClosePipe(port.hReadPort));
  }

  @ParameterizedTest(name = "stale read fails with {0}")
  @ValueSource(ints = {Win32.ERROR_ACCESS_DENIED, Win32.ERROR_INVALID_HANDLE})
  void afterUnplugAndReplugTheReceiverReopensAndReadsGoOn(int staleError) throws Exception {
    SimulatedPrinter printer = openBoth();
    int javaWriteHandle = port.hWritePort;
    Reader reader = new Reader();
    reader.start();
    assertTrue(printer.send(ascii("before|")));
    assertTrue(reader.awaitCount(7));

    assertTrue(printer.unplug());
    assertTrue(awaitTrace("Default case", " dwError = 1167"), "the receiver sees the unplug");
    assertEquals(
        Win32.ERROR_DEVICE_NOT_CONNECTED,
        port.usbWriteOutputPipe(javaWriteHandle, ascii("lost")),
        "writes fail while unplugged");

    assertTrue(printer.replug());
    Simulator.injectFailure(EmulatedFunction.ReadFile, 0, 1, staleError);
    assertTrue(awaitTrace("ReopenCom", "Handles Valid"), "the receiver reopened the printer");
    assertTrue(printer.waitPendingReads(1, BOUND_MS), "and reads it again");

    assertTrue(printer.send(ascii("after")));
    assertTrue(reader.awaitCount(12));
    // Java still holds the first write handle; the library writes through the reopened one.
    assertEquals(0, port.usbWriteOutputPipe(javaWriteHandle, ascii("printed")));
    assertTrue(printer.waitWritten(7, BOUND_MS));
    assertEquals("printed", ascii(printer.written()));
    reader.finish();
    assertEquals("before|after", ascii(reader.bytes()));

    // The Java handles are stale now (the reopened ones may have taken their values again, as
    // Windows hands freed values out at once): the close still ends the session.
    assertEquals(0, port.usbClosePipe(port.hReadPort));
    assertTrue(
        traced("usbClosePipe", "differ close res rv=0")
            || traced("usbClosePipe", "match close res rv=0"));
    assertEquals(0, printer.pendingReads());
  }

  @Test
  void aCloseWhileThePrinterIsAwayReturns() throws Exception {
    SimulatedPrinter printer = openBoth();
    Reader reader = new Reader();
    reader.start();
    assertTrue(printer.unplug());
    assertTrue(awaitTrace("Default case", " dwError = 1167"));
    assertEquals(Integer.valueOf(0), withinBound("close", () -> port.usbClosePipe(port.hReadPort)));
    reader.finish();
    assertEquals(0, reader.count());
  }
}
