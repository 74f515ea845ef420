package com.velto.printer.bench;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;

/**
 * A printer-class printer and the Java side that reads it: through the library (a printer-class
 * session, each read a usbReadInputPipe), raw (synchronous ReadFile on its read pipe), or through a
 * raw relay (a reading thread and an event, no library).
 */
abstract class Inbound implements AutoCloseable {
  final SimulatedPrinter printer;

  Inbound(SimulatedPrinter printer) {
    this.printer = printer;
  }

  /** Bytes read into buf (at most its length); 0 or negative when nothing came. */
  abstract int read(byte[] buf);

  /** Makes a read that blocks return (after the caller has stopped counting). */
  abstract void wake();

  /** Bytes sent and not yet read that are still kept: in the printer, and in the ring. */
  long held() {
    return printer.pendingToHost();
  }

  enum Kind { LIBRARY, RAW, RELAY }

  static Inbound open(Kind kind, String serial) {
    switch (kind) {
      case LIBRARY:
        return new Library(serial);
      case RELAY:
        return new Relay(serial);
      default:
        return new Raw(serial);
    }
  }

  static SimulatedPrinter plugUnknown(String serial) {
    return SimulatedPrinter.plugPrinterClass(SimulatedPrinter.interfacePath(
        "vid_0000&pid_0000", serial, Simulator.printerClassInterfaceClass()));
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
    long held() {
      return super.held() + port.usbGetBytesAvailable();
    }

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
      super(plugUnknown(serial));
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

  /** Two raw hops: a thread reads the printer and hands the bytes on through an event. */
  static final class Relay extends Inbound {
    final long relay;

    Relay(String serial) {
      super(plugUnknown(serial));
      relay = RawDevice.startRelay(RawDevice.open(printer.path() + "\\PIPE00", true));
    }

    @Override
    int read(byte[] buf) {
      return RawDevice.relayRead(relay, buf);
    }

    @Override
    void wake() {}

    @Override
    public void close() {
      RawDevice.stopRelay(relay);
      printer.unplug();
    }
  }
}
