package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.SimulatedPrinter;

/**
 * A printer-class printer and the Java side that reads it: through the library (a printer-class
 * session, each read a usbReadInputPipe) or raw (synchronous ReadFile on its read pipe).
 */
abstract class Inbound implements AutoCloseable {
  final SimulatedPrinter printer;

  private Inbound(SimulatedPrinter printer) {
    this.printer = printer;
  }

  /** Bytes read into buf (at most its length); 0 or negative when nothing came. */
  abstract int read(byte[] buf);

  /** Makes a read that blocks return (after the caller has stopped counting). */
  abstract void wake();

  static Inbound open(boolean library, String serial) {
    return library ? new Library(serial) : new Raw(serial);
  }

  /** A printer of the library's device table, read through the natives. */
  static final class Library extends Inbound {
    final UsbPort port = new UsbPort();
    final int handle;

    Library(String serial) {
      super(SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath(serial)));
      if (port.usbInitPipe(port, port.usbGetGenericReadValue()) != UsbPort.USB_TYPE_PRINTER_CLASS) {
        throw new IllegalStateException("no printer-class session");
      }
      handle = port.hReadPort;
    }

    @Override
    int read(byte[] buf) {
      return port.usbReadInputPipe(handle, buf);
    }

    @Override
    void wake() {}

    @Override
    public void close() {
      port.usbClosePipe(handle);
      printer.unplug();
    }
  }

  /** A printer the library does not know, read with plain synchronous ReadFile calls. */
  static final class Raw extends Inbound {
    final long handle;

    Raw(String serial) {
      super(
          SimulatedPrinter.plugPrinterClass(
              SimulatedPrinter.interfacePath(
                  "vid_0000&pid_0000", serial, Simulator.printerClassInterfaceClass())));
      handle = RawDevice.open(printer.path() + "\\PIPE00", false);
    }

    @Override
    int read(byte[] buf) {
      return RawDevice.read(handle, buf);
    }

    @Override
    void wake() {
      printer.send(new byte[] {0});
    }

    @Override
    public void close() {
      RawDevice.close(handle);
      printer.unplug();
    }
  }
}
