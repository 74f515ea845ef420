package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import org.junit.jupiter.api.Test;

/** Many open, use and close cycles leave no handle, event or thread behind. */
class OpenCloseCyclesTest extends LibraryTest {

  private void nativeCycle(SimulatedPrinter printer, int i) {
    openRead(UsbPort.USB_TYPE_NATIVE);
    openWrite(UsbPort.USB_TYPE_NATIVE);
    assertEquals(0, port.usbSetCommTimeout(port.hReadPort, -1, 0, 0, 0, 0));
    byte[] b = {(byte) i};
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, b));
    assertTrue(printer.send(b));
    byte[] in = new byte[4];
    assertEquals(1, port.usbReadInputPipe(port.hReadPort, in), "cycle " + i);
    assertEquals((byte) i, in[0]);
    assertEquals(0, port.usbClosePipe(port.hReadPort));
    assertEquals(0, port.usbClosePipe(port.hWritePort));
  }

  private void printerClassCycle(SimulatedPrinter printer, int i) {
    openRead(UsbPort.USB_TYPE_PRINTER_CLASS);
    openWrite(UsbPort.USB_TYPE_PRINTER_CLASS);
    byte[] b = {(byte) i, (byte) (i >> 8)};
    assertEquals(0, port.usbWriteOutputPipe(port.hWritePort, b));
    assertTrue(printer.send(b));
    byte[] in = readPrinterClass(2);
    assertEquals(b[0], in[0], "cycle " + i);
    assertEquals(b[1], in[1], "cycle " + i);
    // Close through either pipe: both end the session.
    assertEquals(0, port.usbClosePipe(i % 2 == 0 ? port.hReadPort : port.hWritePort));
  }

  @Test
  void nativeCycles() {
    SimulatedPrinter printer = plugNative("Y1");
    int handles = Simulator.openHandleCount();
    for (int i = 0; i < 300; i++) {
      nativeCycle(printer, i);
      assertEquals(handles, Simulator.openHandleCount(), "handles after cycle " + i);
    }
    assertEquals(300, printer.written().length);
  }

  @Test
  void printerClassCycles() {
    SimulatedPrinter printer = plugPrinterClass("Y2");
    int handles = Simulator.openHandleCount();
    for (int i = 0; i < 150; i++) {
      printerClassCycle(printer, i);
      assertEquals(handles, Simulator.openHandleCount(), "handles after cycle " + i);
      assertEquals(0, printer.pendingReads(), "receiver gone after cycle " + i);
      assertEquals(0, Simulator.liveThreadCount(), "receiver ended in cycle " + i);
    }
  }

  @Test
  void cyclesThatSwitchBetweenTheTwoTypes() {
    SimulatedPrinter nat = plugNative("Y3");
    SimulatedPrinter pcl = plugPrinterClass("Y4");
    assertTrue(nat.unplug());
    int handles = Simulator.openHandleCount();
    for (int i = 0; i < 40; i++) {
      if (i % 2 == 0) {
        printerClassCycle(pcl, i);
        assertTrue(nat.replug());
      } else {
        nativeCycle(nat, i);
        assertTrue(nat.unplug());
      }
      assertEquals(handles, Simulator.openHandleCount(), "handles after cycle " + i);
    }
  }
}
