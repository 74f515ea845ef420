package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.Pipe;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import org.junit.jupiter.api.Test;

/**
 * Failures reach Java as results, never as exceptions, and leave the port object alone: no
 * printer, printers the library does not know, bad arguments from Java, failing opens.
 */
class NoPrinterTest extends LibraryTest {

  private void assertUntouched() {
    assertEquals(77, port.hReadPort);
    assertEquals(78, port.hWritePort);
  }

  private void markFields() {
    port.hReadPort = 77;
    port.hWritePort = 78;
  }

  @Test
  void withoutAPrinterEveryOpenFails() {
    markFields();
    assertEquals(-1, port.usbInitPipe(port, readAccess));
    assertEquals(-1, port.usbInitPipe(port, writeAccess));
    assertUntouched();
    assertEquals(0, port.usbGetBytesAvailable());
    // Before any open every native takes the native path; a bad handle reports its error.
    assertEquals(Win32.ERROR_INVALID_HANDLE, port.usbGetCommTimeout(0));
    assertEquals(Win32.ERROR_INVALID_HANDLE, port.usbClosePipe(0));
  }

  @Test
  void aPrinterOutsideTheDeviceTableIsNotTaken() {
    SimulatedPrinter.plugNative(
        SimulatedPrinter.interfacePath(
            "vid_0000&pid_0000", "X1", Simulator.nativePrinterInterfaceClass()));
    SimulatedPrinter.plugPrinterClass(
        SimulatedPrinter.interfacePath(
            "VID_FA1C&pid_0a01", "X2", Simulator.printerClassInterfaceClass()));
    markFields();
    assertEquals(-1, port.usbInitPipe(port, readAccess));
    assertUntouched();
  }

  @Test
  void anAccessValueOtherThanTheTwoOpensNothing() {
    plugNative("X3");
    markFields();
    int handles = Simulator.openHandleCount();
    for (int access : new int[] {0, 0x1234, 0xC0000000, -1}) {
      assertEquals(-1, port.usbInitPipe(port, access), "access " + Integer.toHexString(access));
    }
    assertUntouched();
    assertEquals(handles, Simulator.openHandleCount());
  }

  @Test
  void nullArraysAreRefused() {
    SimulatedPrinter printer = plugNative("X4");
    openRead(UsbPort.USB_TYPE_NATIVE);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    assertTrue(printer.send(ascii("kept")));
    assertEquals(-1, port.usbReadInputPipe(port.hReadPort, null));
    assertNotEquals(0, port.usbWriteOutputPipe(port.hWritePort, null));
    assertEquals(0, printer.written().length);
    port.usbSetCommTimeout(port.hReadPort, -1, 0, 0, 0, 0);
    byte[] in = new byte[8];
    assertEquals(4, port.usbReadInputPipe(port.hReadPort, in), "nothing was consumed");
    assertEquals(0, port.usbClosePipe(port.hReadPort));
    assertEquals(0, port.usbClosePipe(port.hWritePort));
  }

  @Test
  void aFailedWriteOpenIsStoredUntilClosed() {
    SimulatedPrinter printer = plugNative("X5");
    markFields();
    assertTrue(printer.scriptOpenError(Pipe.PIPE01, Win32.ERROR_ACCESS_DENIED));
    assertEquals(-1, port.usbInitPipe(port, writeAccess));
    assertEquals(-1, port.usbInitPipe(port, writeAccess), "the failed handle is reused");
    assertUntouched();
    // Closing the stored INVALID_HANDLE_VALUE clears it; then the open is tried again.
    port.usbClosePipe(-1);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, ascii("ok")));
    assertArrayEquals(ascii("ok"), printer.written());
    assertEquals(0, port.usbClosePipe(port.hWritePort));
  }

  @Test
  void injectedFailuresOfTheDiscoveryEndInMinusOne() {
    plugNative("X6");
    markFields();
    for (EmulatedFunction fn :
        new EmulatedFunction[] {
          EmulatedFunction.SetupDiGetClassDevsA,
          EmulatedFunction.SetupDiGetDeviceInterfaceDetailA,
          EmulatedFunction.GlobalAlloc,
          EmulatedFunction.GlobalLock,
          EmulatedFunction.CreateFileA
        }) {
      Simulator.injectFailure(fn, 0, Simulator.UNTIL_CLEARED, Win32.ERROR_NOT_ENOUGH_MEMORY);
      assertEquals(-1, port.usbInitPipe(port, readAccess), fn.name());
      assertTrue(Simulator.callCount(fn) > 0, fn.name() + " called");
      Simulator.clearInjections();
    }
    assertUntouched();
    int handles = Simulator.openHandleCount();
    assertEquals(0, handles, "nothing left open by the failed opens");
  }
}
