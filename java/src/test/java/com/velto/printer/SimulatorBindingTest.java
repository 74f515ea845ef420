package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.sim.CommTimeouts;
import com.velto.printer.sim.DebugOutput;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The Java binding of the simulator agrees with the emulation and with the library. */
class SimulatorBindingTest extends LibraryTest {

  @Test
  void theFunctionListMatchesTheEmulation() {
    assertEquals(Simulator.emulatedFunctionCount(), EmulatedFunction.values().length);
    for (EmulatedFunction fn : EmulatedFunction.values()) {
      if (fn != EmulatedFunction.ALLOC) {
        assertEquals(fn.name(), fn.emulatedName());
      }
    }
  }

  @Test
  void theDeviceIdentificationIsTheLibrarys() {
    List<String> patterns = Simulator.devicePatterns();
    assertEquals(27, patterns.size());
    for (String p : patterns) {
      assertTrue(p.matches("(vid|VID)_[0-9a-fA-F]{4}&(pid|PID)_[0-9a-fA-F]{4}"), p);
    }
    assertEquals("{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}", Simulator.printerClassInterfaceClass());
    String nativeClass = Simulator.nativePrinterInterfaceClass();
    assertTrue(nativeClass.matches("\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}"), nativeClass);
    assertNotEquals(Simulator.printerClassInterfaceClass(), nativeClass);
  }

  @Test
  void printersArePluggedUnpluggedAndReplugged() {
    String path = SimulatedPrinter.nativePath("B1");
    SimulatedPrinter printer = SimulatedPrinter.plugNative(path);
    assertEquals(path, printer.path());
    assertEquals(SimulatedPrinter.Kind.NATIVE, printer.kind());
    assertEquals(1, Simulator.deviceCount());
    assertThrows(IllegalArgumentException.class, () -> SimulatedPrinter.plugNative(path));
    assertThrows(
        IllegalArgumentException.class,
        () -> SimulatedPrinter.plug(SimulatedPrinter.Kind.NATIVE, "{not-a-guid}", path + "2"));
    assertThrows(IllegalArgumentException.class, () -> SimulatedPrinter.plugPrinterClass(""));
    assertTrue(printer.isPlugged());
    assertTrue(printer.unplug());
    assertFalse(printer.isPlugged());
    assertFalse(printer.unplug(), "already unplugged");
    assertTrue(printer.replug());
    assertTrue(printer.isPlugged());
    assertTrue(printer.setIdentity("Acme", null, null, "2-1"));
    assertFalse(printer.setIdentity(null, null, "a#b", null), "a serial Windows would not take");
  }

  @Test
  void dataScriptsAndDriverStateRoundTrip() {
    SimulatedPrinter printer = plugNative("B2");
    assertTrue(printer.send(new byte[] {1, 2, 3}));
    assertEquals(3, printer.pendingToHost());
    assertEquals(0, printer.written().length);
    CommTimeouts t = new CommTimeouts(-1, -2, 0x7fffffff, 0, 1);
    printer.setTimeouts(t);
    assertEquals(t, printer.timeouts());
    assertEquals("{interval MAXDWORD, total 4294967294/byte + 2147483647; write 0/byte + 1}", t.toString());
    assertEquals(0, printer.purgeCount());
    assertEquals(0, printer.pendingReads());
    assertFalse(printer.waitWritten(1, 0), "nothing written");
    assertTrue(printer.waitWritten(0, 0));
  }

  @Test
  void theDebugOutputCarriesTheReceiverThreadsLinesAndStopsWhenNotCaptured() {
    SimulatedPrinter printer = plugPrinterClass("B3");
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    assertTrue(printer.waitPendingReads(1, BOUND_MS));
    assertTrue(awaitTrace("ReceiveData-Jt3", "Entering ReadFile (PC)"), "a line from a native thread");
    assertEquals(0, port.usbClosePipe(port.hReadPort));
    assertTrue(awaitTrace("_ReceiveData", "***** EXIT *****"));

    DebugOutput.capture(false);
    try {
      log.clear();
      port.usbGetGenericWriteValue();
      assertEquals(List.of(), DebugOutput.take(0));
    } finally {
      DebugOutput.capture(true);
    }
    port.usbGetGenericWriteValue();
    assertEquals(List.of("usbGetGenericWriteValue|Entry"), log.lines().stream().map(LibraryTest::tagAndText).toList());
  }

  @Test
  void theLeakReportNamesAHandleTheLibraryKeptOpen() {
    SimulatedPrinter printer = plugNative("B4");
    openRead(UsbPort.USB_TYPE_NATIVE);
    assertTrue(printer.unplug());
    Simulator.reset();
    assertNotEquals("", Simulator.leakReport(0), "the read handle is still open");
    assertEquals(0, port.usbClosePipe(port.hReadPort));
    assertEquals("", Simulator.leakReport(BOUND_MS));
  }

  @Test
  void injectedFailuresAreCountedAndCleared() {
    plugNative("B5");
    int before = Simulator.callCount(EmulatedFunction.CreateFileA);
    Simulator.injectFailure(EmulatedFunction.CreateFileA, 0, Simulator.UNTIL_CLEARED, Win32.ERROR_ACCESS_DENIED);
    assertEquals(-1, port.usbInitPipe(port, readAccess));
    assertTrue(Simulator.waitCallCount(EmulatedFunction.CreateFileA, before + 1, BOUND_MS));
    Simulator.clearInjections();
    openRead(UsbPort.USB_TYPE_NATIVE);
    assertEquals(0, port.usbClosePipe(port.hReadPort));

    // Failure injection of the module's memory: the write's elements come from the JVM, the
    // read's buffer from the module when the array is too long for one on the stack.
    openRead(UsbPort.USB_TYPE_NATIVE);
    Simulator.injectFailure(EmulatedFunction.ALLOC, 0, Simulator.UNTIL_CLEARED, Win32.ERROR_NOT_ENOUGH_MEMORY);
    byte[] in = new byte[5000];
    java.util.Arrays.fill(in, (byte) 9);
    int r = port.usbReadInputPipe(port.hReadPort, in);
    Simulator.clearInjections();
    assertEquals(-1, r);
    for (byte b : in) {
      assertEquals(9, b);
    }
    assertEquals(0, port.usbClosePipe(port.hReadPort));
  }

  @Test
  void messageTextsCanBeReplaced() {
    Simulator.setMessageText(Win32.ERROR_GEN_FAILURE, "broken\r\n");
    assertEquals("broken\r\n", port.usbGetErrorString(Win32.ERROR_GEN_FAILURE));
    Simulator.setMessageText(Win32.ERROR_GEN_FAILURE, null);
    assertNotEquals("broken\r\n", port.usbGetErrorString(Win32.ERROR_GEN_FAILURE));
  }
}
