package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.sim.CommTimeouts;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.Pipe;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;

/** Every native through the JVM on a printer of the vendor's native driver class. */
class NativeTypeTest extends LibraryTest {

  /** Reads return at once with what is there. */
  private void readsReturnAtOnce() {
    assertEquals(0, port.usbSetCommTimeout(port.hReadPort, Win32.MAXDWORD, 0, 0, 0, 0));
  }

  private void closeBoth() {
    assertEquals(0, port.usbClosePipe(port.hReadPort));
    assertEquals(0, port.usbClosePipe(port.hWritePort));
  }

  @Test
  void accessValuesAreTheTwoGenericRights() {
    assertEquals(0x80000000, readAccess);
    assertEquals(-2147483648, readAccess);
    assertEquals(1073741824, writeAccess);
    assertTrue(traced("usbGetGenericWriteValue", "Entry"));
  }

  @Test
  void readOpensAreNewHandlesAndTheWriteHandleIsShared() {
    plugNative("N1");
    openRead(UsbPort.USB_TYPE_NATIVE);
    int firstRead = port.hReadPort;
    openRead(UsbPort.USB_TYPE_NATIVE);
    int secondRead = port.hReadPort;
    assertNotEquals(0, firstRead);
    assertNotEquals(-1, firstRead);
    assertNotEquals(firstRead, secondRead, "every native read open is a new handle");
    assertFalse(traced("usbInitPipe", "...Just Returning handle"));
    assertTrue(traced("usbInitPipe", "IDNATIVETYPE"));

    openWrite(UsbPort.USB_TYPE_NATIVE);
    int write = port.hWritePort;
    UsbPort other = new UsbPort();
    assertEquals(UsbPort.USB_TYPE_NATIVE, port.usbInitPipe(other, writeAccess));
    assertEquals(write, other.hWritePort, "the write handle is handed out again");
    assertEquals(0, other.hReadPort, "only the chosen field is written");
    assertEquals(0, port.usbGetBytesAvailable(), "no ring buffer on the native type");

    assertEquals(0, port.usbClosePipe(firstRead));
    assertEquals(0, port.usbClosePipe(secondRead));
    assertEquals(0, port.usbClosePipe(write));
  }

  @Test
  void writesReachThePrinterThroughTheStoredWriteHandle() {
    SimulatedPrinter printer = plugNative("N1");
    openRead(UsbPort.USB_TYPE_NATIVE);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    byte[] data = new byte[300];
    for (int i = 0; i < data.length; i++) {
      data[i] = (byte) (i * 7);
    }
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, data));
    assertArrayEquals(data, printer.written());

    // The handle Java passes only shows in the trace.
    printer.clearWritten();
    assertEquals(0, port.usbWriteOutputPipe(12345, new byte[] {(byte) 0xa0, 1}));
    assertArrayEquals(new byte[] {(byte) 0xa0, 1}, printer.written());
    assertEquals(1, log.matching(l -> l.equals("WRITE a0 01\n")).size(), "the dump line");
    assertEquals(1, log.count("WRITE: nHandle = 12345,"));

    // A short write counts as success; a failed one reports the code, also to usbGetLastError.
    printer.clearWritten();
    assertTrue(printer.scriptShortWrite(Pipe.PIPE01, 2));
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, ascii("abcdef")));
    assertEquals("ab", ascii(printer.written()));
    assertTrue(printer.scriptWriteError(Pipe.PIPE01, Win32.ERROR_GEN_FAILURE));
    assertEquals(Win32.ERROR_GEN_FAILURE, port.usbWriteOutputPipe(port.hWritePort, ascii("x")));
    assertEquals(Win32.ERROR_GEN_FAILURE, port.usbGetLastError());
    assertEquals("ab", ascii(printer.written()));
    closeBoth();
  }

  @Test
  void readsDeliverWhatThePrinterSentAndNoMore() {
    SimulatedPrinter printer = plugNative("N1");
    openRead(UsbPort.USB_TYPE_NATIVE);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    readsReturnAtOnce();

    byte[] data = new byte[8];
    Arrays.fill(data, (byte) 0x55);
    assertEquals(0, port.usbReadInputPipe(port.hReadPort, data), "nothing there yet");
    assertTrue(traced("usbReadInputPipe", "Case 2"));

    assertTrue(printer.send(new byte[] {1, 2, 3, (byte) 0xa0, 5}));
    byte[] small = new byte[3];
    assertEquals(3, port.usbReadInputPipe(port.hReadPort, small));
    assertArrayEquals(new byte[] {1, 2, 3}, small);
    assertEquals(2, port.usbReadInputPipe(port.hReadPort, data));
    assertArrayEquals(new byte[] {(byte) 0xa0, 5, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}, data);
    assertEquals(1, log.count("bData[0]=ffffffa0 nCount=2 bResult=1"));
    assertEquals(0, port.usbReadInputPipe(port.hReadPort, new byte[0]), "an empty array");

    // A failed read leaves the array alone and reports -1; the code is the thread's last error.
    Arrays.fill(data, (byte) 0x55);
    assertTrue(printer.send(ascii("zz")));
    assertTrue(printer.scriptReadError(Pipe.PIPE00, Win32.ERROR_GEN_FAILURE));
    assertEquals(-1, port.usbReadInputPipe(port.hReadPort, data));
    assertEquals(Win32.ERROR_GEN_FAILURE, port.usbGetLastError());
    byte[] untouched = new byte[8];
    Arrays.fill(untouched, (byte) 0x55);
    assertArrayEquals(untouched, data);
    assertEquals(2, port.usbReadInputPipe(port.hReadPort, data), "the bytes are still there");
    closeBoth();
  }

  @Test
  void aBlockingReadEndsWhenTheReplyArrives() throws Exception {
    SimulatedPrinter printer = plugNative("N1");
    printer.addResponder(new byte[] {0x10, 0x04, 0x01}, new byte[] {0x16});
    openRead(UsbPort.USB_TYPE_NATIVE);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    // No time-outs: a read waits until it has all it asked for.
    assertEquals(0, port.usbSetCommTimeout(port.hReadPort, 0, 0, 0, 0, 0));
    byte[] reply = new byte[2];
    AtomicInteger count = new AtomicInteger(-2);
    Thread reader = new Thread(() -> count.set(port.usbReadInputPipe(port.hReadPort, reply)));
    reader.start();
    assertTrue(printer.waitPendingReads(1, BOUND_MS));
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, new byte[] {0x10, 0x04, 0x01}));
    assertTrue(printer.send(new byte[] {0x17}));
    reader.join(BOUND_MS);
    assertFalse(reader.isAlive());
    assertEquals(2, count.get());
    assertArrayEquals(new byte[] {0x16, 0x17}, reply);
    closeBoth();
  }

  @Test
  void timeoutsAreQueriedAndMergedIntoTheDriverRecord() {
    SimulatedPrinter printer = plugNative("N1");
    openRead(UsbPort.USB_TYPE_NATIVE);
    int h = port.hReadPort;

    assertEquals(0, port.usbSetCommTimeout(h, 10, 20, 30, 40, 50));
    assertEquals(new CommTimeouts(10, 20, 30, 40, 50), printer.timeouts());
    assertEquals(30, port.usbGetCommTimeout(h));

    assertEquals(0, port.usbSetCommTimeout(h, -1, -1, -1, -1, -1));
    assertEquals(new CommTimeouts(-1, -1, -1, -1, -1), printer.timeouts());
    assertEquals(-1, port.usbGetCommTimeout(h), "0xFFFFFFFF arrives negative");

    // A field the driver reports as 0xFFFFFFFE is protected; an argument of -2 is stored.
    printer.setTimeouts(new CommTimeouts(-2, 0, -2, 0, 0));
    assertEquals(0, port.usbSetCommTimeout(h, 1, -2, 3, 4, 5));
    assertEquals(new CommTimeouts(-2, -2, -2, 4, 5), printer.timeouts());

    assertEquals(0, port.usbClosePipe(h));
    assertEquals(Win32.ERROR_INVALID_HANDLE, port.usbGetCommTimeout(h), "closed handle");
    assertEquals(Win32.ERROR_INVALID_HANDLE, port.usbSetCommTimeout(h, 1, 2, 3, 4, 5));
  }

  @Test
  void purgeAbortsAndClearsTheDriverInput() {
    SimulatedPrinter printer = plugNative("N1");
    openRead(UsbPort.USB_TYPE_NATIVE);
    readsReturnAtOnce();
    assertTrue(printer.send(ascii("stale")));
    assertEquals(0, port.usbPurgeRequest(port.hReadPort));
    assertEquals(1, printer.purgeCount());
    assertEquals(Win32.PURGE_RXABORT | Win32.PURGE_RXCLEAR, printer.lastPurgeFlags());
    assertEquals(0, port.usbReadInputPipe(port.hReadPort, new byte[8]), "input cleared");
    int h = port.hReadPort;
    assertEquals(0, port.usbClosePipe(h));
    assertEquals(Win32.ERROR_INVALID_HANDLE, port.usbPurgeRequest(h));
    assertEquals(1, printer.purgeCount());
  }

  @Test
  void errorTextsComeFromTheSystemOrTheFallback() {
    assertEquals("Access is denied.\r\n", port.usbGetErrorString(Win32.ERROR_ACCESS_DENIED));
    assertEquals("FormatMessage failed: 0\n", port.usbGetErrorString(0x7fff1234));
    // A localised system gives ANSI text; Java must see the same characters.
    Simulator.setMessageText(Win32.ERROR_ACCESS_DENIED, "Zugriff verweigert: \u00e4\u00f6\u00fc \u00e9\r\n");
    assertEquals(
        "Zugriff verweigert: \u00e4\u00f6\u00fc \u00e9\r\n",
        port.usbGetErrorString(Win32.ERROR_ACCESS_DENIED));
    Simulator.setMessageText(Win32.ERROR_ACCESS_DENIED, null);
    assertEquals("Access is denied.\r\n", port.usbGetErrorString(Win32.ERROR_ACCESS_DENIED));
  }

  @Test
  void closingTheWriteHandleLetsTheNextOpenOpenANewOne() {
    SimulatedPrinter printer = plugNative("N1");
    openWrite(UsbPort.USB_TYPE_NATIVE);
    int first = port.hWritePort;
    assertEquals(0, port.usbClosePipe(first));
    assertEquals(Win32.ERROR_INVALID_HANDLE, port.usbClosePipe(first), "closed twice");
    assertNotEquals(0, port.usbWriteOutputPipe(first, ascii("lost")), "no write handle");
    int opensBefore = Simulator.callCount(EmulatedFunction.CreateFileA);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    // The value may come back (Windows reuses freed handle values); the handle is a new one.
    assertTrue(Simulator.callCount(EmulatedFunction.CreateFileA) > opensBefore, "a new open");
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, ascii("ok")));
    assertEquals("ok", ascii(printer.written()));
    assertEquals(0, port.usbClosePipe(port.hWritePort));
  }

  @Test
  void anUnpluggedPrinterFailsItsHandlesUntilTheyAreOpenedAgain() {
    SimulatedPrinter printer = plugNative("N1");
    openRead(UsbPort.USB_TYPE_NATIVE);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    assertTrue(printer.unplug());
    assertEquals(Win32.ERROR_DEVICE_NOT_CONNECTED, port.usbWriteOutputPipe(port.hWritePort, ascii("x")));
    assertEquals(-1, port.usbReadInputPipe(port.hReadPort, new byte[4]));
    assertEquals(Win32.ERROR_DEVICE_NOT_CONNECTED, port.usbGetLastError());
    UsbPort other = new UsbPort();
    assertEquals(-1, port.usbInitPipe(other, readAccess), "no printer to open");
    assertEquals(0, other.hReadPort);

    assertTrue(printer.replug());
    // The old handles stay dead; the stored write handle with them.
    assertEquals(Win32.ERROR_DEVICE_NOT_CONNECTED, port.usbWriteOutputPipe(port.hWritePort, ascii("x")));
    closeBoth();
    openRead(UsbPort.USB_TYPE_NATIVE);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, ascii("back")));
    assertEquals("back", ascii(printer.written()));
    closeBoth();
  }
}
