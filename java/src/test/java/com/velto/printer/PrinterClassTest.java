package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.Pipe;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import java.util.Arrays;
import java.util.concurrent.locks.LockSupport;
import org.junit.jupiter.api.Test;

/** Every native through the JVM on a USB printer class printer: the receiver and its buffer. */
class PrinterClassTest extends LibraryTest {

  private SimulatedPrinter openBoth() {
    SimulatedPrinter printer = plugPrinterClass("P1");
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    openWrite(UsbPort.USB_TYPE_PRINTER_CLASS);
    assertTrue(printer.waitPendingReads(1, BOUND_MS), "the receiver reads");
    return printer;
  }

  private void awaitAvailable(int n) {
    long deadline = System.nanoTime() + BOUND_MS * 1_000_000L;
    while (port.usbGetBytesAvailable() < n && System.nanoTime() < deadline) {
      LockSupport.parkNanos(1_000_000L);
    }
    assertEquals(n, port.usbGetBytesAvailable());
  }

  @Test
  void theReadOpenStartsOneSessionAndIsHandedOutAgain() {
    SimulatedPrinter printer = plugPrinterClass("P1");
    assertEquals(0, port.usbGetBytesAvailable(), "no session yet");
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    assertTrue(printer.waitPendingReads(1, BOUND_MS));
    assertTrue(awaitTrace("_ReceiveData", "***** ENTER *****"), "traced from the receiver thread");
    int read = port.hReadPort;

    UsbPort other = new UsbPort();
    assertEquals(UsbPort.USB_TYPE_PRINTER_CLASS, port.usbInitPipe(other, readAccess));
    assertEquals(read, other.hReadPort);
    assertTrue(traced("usbInitPipe", "...Just Returning handle"));
    assertEquals(1, log.count("***** ENTER *****"), "no second receiver");

    openWrite(UsbPort.USB_TYPE_PRINTER_CLASS);
    assertNotEquals(read, port.hWritePort);
    assertEquals(0, port.usbClosePipe(read));
    assertTrue(traced("usbClosePipe", "match close res rv=0"));
    assertEquals(0, port.usbGetBytesAvailable(), "session gone");
  }

  @Test
  void readsTakeBufferedBytesAtMostTheArrayLength() {
    SimulatedPrinter printer = openBoth();
    assertTrue(printer.send(ascii("0123456789")));
    awaitAvailable(10);
    byte[] small = new byte[4];
    assertEquals(4, port.usbReadInputPipe(port.hReadPort, small));
    assertEquals("0123", ascii(small));
    assertEquals(6, port.usbGetBytesAvailable());
    byte[] big = new byte[16];
    Arrays.fill(big, (byte) '.');
    assertEquals(6, port.usbReadInputPipe(port.hReadPort, big));
    assertEquals("456789..........", ascii(big));

    // Nothing buffered and nothing arriving: -1 after the wait, the array untouched.
    log.clear();
    assertEquals(-1, port.usbReadInputPipe(port.hReadPort, big));
    assertTrue(traced("GetPCLSData", "Timeout"));
    assertEquals("456789..........", ascii(big));
    assertEquals(0, port.usbClosePipe(port.hWritePort));
  }

  @Test
  void aStatusRequestIsAnsweredThroughTheReceiver() {
    SimulatedPrinter printer = plugPrinterClass("P1");
    printer.addResponder(new byte[] {0x10, 0x04, 0x01}, new byte[] {0x16});
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    openWrite(UsbPort.USB_TYPE_PRINTER_CLASS);
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, new byte[] {0x10, 0x04, 0x01}));
    assertArrayEquals(new byte[] {0x16}, readPrinterClass(1));
    assertArrayEquals(new byte[] {0x10, 0x04, 0x01}, printer.written());
    assertEquals(0, port.usbClosePipe(port.hReadPort));
  }

  @Test
  void lineControlIsNotServedAndSendsNothing() {
    SimulatedPrinter printer = openBoth();
    int before = Simulator.callCount(EmulatedFunction.DeviceIoControl);
    int purges = Simulator.callCount(EmulatedFunction.PurgeComm);
    assertEquals(1, port.usbGetCommTimeout(port.hReadPort));
    assertEquals(1, port.usbSetCommTimeout(port.hReadPort, 1, 2, 3, 4, 5));
    assertEquals(1, port.usbPurgeRequest(port.hReadPort));
    assertEquals(before, Simulator.callCount(EmulatedFunction.DeviceIoControl));
    assertEquals(purges, Simulator.callCount(EmulatedFunction.PurgeComm));
    assertEquals(0, printer.purgeCount());

    // Errors and their texts do not depend on the type.
    assertTrue(printer.scriptWriteError(Pipe.PIPE01, Win32.ERROR_GEN_FAILURE));
    assertEquals(Win32.ERROR_GEN_FAILURE, port.usbWriteOutputPipe(port.hWritePort, ascii("x")));
    assertEquals(Win32.ERROR_GEN_FAILURE, port.usbGetLastError());
    assertEquals("Access is denied.\r\n", port.usbGetErrorString(Win32.ERROR_ACCESS_DENIED));
    assertEquals(0, port.usbClosePipe(port.hReadPort));
  }

  @Test
  void closingTheWritePipeEndsTheWholeSession() {
    SimulatedPrinter printer = openBoth();
    assertTrue(printer.send(ascii("left over")));
    awaitAvailable(9);
    int read = port.hReadPort;
    assertEquals(0, port.usbClosePipe(port.hWritePort));
    assertTrue(traced("usbClosePipe", "Close Read Handle"));
    assertTrue(traced("usbClosePipe", "Close Write Handle"));
    assertEquals(0, port.usbGetBytesAvailable());
    assertEquals(-1, port.usbReadInputPipe(read, new byte[16]), "no session to read from");
    assertNotEquals(0, port.usbWriteOutputPipe(port.hWritePort, ascii("x")), "no write handle");
    assertEquals(0, printer.pendingReads(), "the receiver's read ended");
    log.clear();
    assertEquals(0, port.usbClosePipe(read), "a second close finds nothing to stop");
    assertFalse(traced("usbClosePipe", "WaitForSingleObject"));
  }

  @Test
  void aCloseWithAForeignHandleStillClosesTheSessionHandles() {
    SimulatedPrinter printer = openBoth();
    assertEquals(0, port.usbClosePipe(4242));
    assertTrue(traced("usbClosePipe", "differ close res rv=0"));
    assertFalse(traced("usbClosePipe", "Close Read Handle"));
    assertEquals(0, printer.pendingReads());
    assertEquals(0, port.usbGetBytesAvailable());
    assertNotEquals(0, port.usbWriteOutputPipe(port.hWritePort, ascii("x")));
  }

  @Test
  void aFailedSessionStartLeavesNothingBehindAndALaterOpenWorks() {
    SimulatedPrinter printer = plugPrinterClass("P1");
    Simulator.injectFailure(EmulatedFunction.CreateThread, 0, 1, Win32.ERROR_NOT_ENOUGH_MEMORY);
    assertEquals(-1, port.usbInitPipe(port, readAccess));
    assertEquals(0, port.hReadPort, "nothing stored");
    assertTrue(log.count("CreateThread failed. Status=8") == 1);
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    assertTrue(printer.waitPendingReads(1, BOUND_MS), "a complete session this time");
    assertTrue(printer.send(ascii("ok")));
    assertEquals("ok", ascii(readPrinterClass(2)));
    assertEquals(0, port.usbClosePipe(port.hReadPort));
  }
}
