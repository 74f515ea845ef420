package com.velto.printer.demo;

import com.velto.printer.PrinterDisconnectedException;
import com.velto.printer.PrinterInfo;
import com.velto.printer.PrinterListener;
import com.velto.printer.UsbPort;
import com.velto.printer.UsbPrinter;
import com.velto.printer.WriteTimeoutException;
import com.velto.printer.sim.CommTimeouts;
import com.velto.printer.sim.DebugOutput;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import com.velto.printer.sim.Win32;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Drives a simulated printer of each USB type through the library the way a Java printer driver
 * would, and shows what the printers received and what the library traced: the native-type
 * printer through the natives of {@link UsbPort} one by one, the printer-class printer through
 * {@link UsbPrinter}.
 *
 * <p>Usage: {@code Demo [--quiet]}; {@code --quiet} leaves out the library's debugger output.
 * {@code Demo --real} works with this machine's printers instead ({@link RealPrinters}).
 */
public final class Demo {
  private static final int BOUND_MS = 10_000;
  private static final byte[] STATUS_REQUEST = {0x10, 0x04, 0x01};
  private static final byte[] STATUS_REPLY = {0x16};

  private final UsbPort port = new UsbPort();
  private boolean showTrace = true;
  private int failures;

  public static void main(String[] args) throws Exception {
    if (args.length == 1 && args[0].equals("--real")) {
      System.exit(RealPrinters.run());
    }
    Demo demo = new Demo();
    for (String a : args) {
      if (a.equals("--quiet")) {
        demo.showTrace = false;
      } else {
        System.err.println("usage: Demo [--quiet] | Demo --real");
        System.exit(2);
      }
    }
    demo.run();
    System.exit(demo.failures == 0 ? 0 : 1);
  }

  private void run() throws Exception {
    DebugOutput.capture(true);
    Simulator.reset();
    say("veltousb demo: a Java driver talking to simulated printers (no hardware needed)");
    say("Library lines traced with OutputDebugStringA are shown as '  | <tag>(<line>) <text>'.");

    String nativePath = SimulatedPrinter.nativePath("DEMO0001");
    String classPath = SimulatedPrinter.printerClassPath("DEMO0002");
    heading("Plugging in two printers");
    SimulatedPrinter nativePrinter = SimulatedPrinter.plugNative(nativePath);
    SimulatedPrinter classPrinter = SimulatedPrinter.plugPrinterClass(classPath);
    say("native-class printer:  " + nativePath);
    say("printer-class printer: " + classPath);
    say("The library looks for the native class first, so it takes the native printer now.");
    nativePrinter.addResponder(STATUS_REQUEST, STATUS_REPLY);
    classPrinter.addResponder(STATUS_REQUEST, STATUS_REPLY);

    nativeSession(nativePrinter);

    heading("Unplugging the native printer: the printer-class one is the only one left");
    check(nativePrinter.unplug(), "unplug the native printer");
    classPrinterSession(classPrinter);

    classPrinter.unplug();
    counter();

    heading("Leak check");
    Simulator.reset();  // forgets the devices; what the library left open stays counted
    String leaks = Simulator.leakReport(BOUND_MS);
    check(leaks.isEmpty(), "nothing left open");
    say(leaks.isEmpty() ? "No handle, event or thread left open by the library." : "Left open:\n" + leaks);
    DebugOutput.capture(false);
    heading(failures == 0 ? "Demo finished: all steps worked" : "Demo finished: " + failures + " step(s) failed");
  }

  // ---- Native type ----

  private void nativeSession(SimulatedPrinter printer) {
    heading("Native type, through the natives of UsbPort: opening the read and write pipes");
    int readAccess = port.usbGetGenericReadValue();
    int writeAccess = port.usbGetGenericWriteValue();
    say(String.format("access values: read 0x%08x, write 0x%08x", readAccess, writeAccess));
    int type = port.usbInitPipe(port, readAccess);
    say("usbInitPipe(read)  -> USB type " + type + typeName(type) + ", hReadPort=" + port.hReadPort);
    int typeW = port.usbInitPipe(port, writeAccess);
    say("usbInitPipe(write) -> USB type " + typeW + typeName(typeW) + ", hWritePort=" + port.hWritePort);
    check(type == UsbPort.USB_TYPE_NATIVE && typeW == UsbPort.USB_TYPE_NATIVE, "native type detected");
    trace();

    heading("Native type: driver time-outs");
    say("driver record now: " + printer.timeouts());
    say("usbGetCommTimeout -> " + port.usbGetCommTimeout(port.hReadPort) + " ms (ReadTotalTimeoutConstant)");
    // A read returns 50 ms after the last byte, or after 20 ms per byte asked plus 1500 ms.
    int rc = port.usbSetCommTimeout(port.hReadPort, 50, 20, 1500, 10, 1000);
    say("usbSetCommTimeout(50, 20, 1500, 10, 1000) -> last error " + rc);
    say("driver record now: " + printer.timeouts());
    int constant = port.usbGetCommTimeout(port.hReadPort);
    say("usbGetCommTimeout -> " + constant + " ms");
    check(constant == 1500, "time-out changed");
    trace();

    printReceipt(printer, "NATIVE TYPE");
    statusRequest(printer);

    heading("Native type: purge and error texts");
    say("usbPurgeRequest -> last error " + port.usbPurgeRequest(port.hReadPort)
        + String.format(", driver saw %d purge(s), flags 0x%x", printer.purgeCount(), printer.lastPurgeFlags()));
    say("usbGetErrorString(5)    -> " + quote(port.usbGetErrorString(Win32.ERROR_ACCESS_DENIED)));
    say("usbGetErrorString(1167) -> " + quote(port.usbGetErrorString(Win32.ERROR_DEVICE_NOT_CONNECTED)));
    trace();

    heading("Native type: closing");
    say("usbClosePipe(hReadPort)  -> " + port.usbClosePipe(port.hReadPort));
    say("usbClosePipe(hWritePort) -> " + port.usbClosePipe(port.hWritePort));
    trace();
  }

  // ---- Printer class, through the Java API ----

  private void classPrinterSession(SimulatedPrinter printer) throws Exception {
    heading("Printer class, through UsbPrinter: opening starts the receiver thread");
    UsbPrinter usb = UsbPrinter.open();
    say("UsbPrinter.open() -> " + usb.type());
    check(usb.type() == UsbPrinter.Type.PRINTER_CLASS, "printer-class type detected");
    check(printer.waitPendingReads(1, BOUND_MS), "receiver has a read outstanding");
    trace();

    heading("Printing a receipt");
    printer.clearWritten();
    byte[] bytes = receipt("PRINTER CLASS");
    usb.write(bytes);
    say("write(" + bytes.length + " bytes) returned: the printer took them all");
    check(printer.waitWritten(bytes.length, BOUND_MS), "receipt written");
    showReceived(printer);
    trace();

    heading("Status request (DLE EOT 1) and the printer's reply");
    usb.write(STATUS_REQUEST);
    byte[] reply = new byte[8];
    int n = usb.read(reply, Duration.ofSeconds(10));
    say("read(reply, 10 s) -> " + n + " byte(s): " + hex(reply, n));
    check(n == 1 && reply[0] == STATUS_REPLY[0], "status reply 16 received");
    trace();

    heading("Printer class: unplug and replug while a Java thread reads");
    Reader reader = new Reader(usb);
    reader.start();
    printer.send("before unplug\n");
    check(reader.awaitText("before unplug\n"), "reader got the bytes sent before the unplug");
    trace();
    say("-- unplugging: the receiver reopens the device (ReopenCom) and keeps trying while the");
    say("   printer is away; meanwhile the reader's reads throw PrinterDisconnectedException");
    check(printer.unplug(), "unplug");
    int reopens = Simulator.callCount(EmulatedFunction.CreateFileA);
    check(Simulator.waitCallCount(EmulatedFunction.CreateFileA, reopens + 2, BOUND_MS),
        "receiver trying to open the printer again");
    trace();
    say("-- replugging: the receiver's next reopen finds the printer and reads again");
    check(printer.replug(), "replug");
    check(printer.waitPendingReads(1, BOUND_MS), "receiver reading the reopened device");
    trace();
    printer.send("after replug\n");
    check(reader.awaitText("after replug\n"), "reader got the bytes sent after the replug");
    trace();
    say("the reader thread received: " + quote(reader.text()));
    say("while the printer was away its reads threw PrinterDisconnectedException "
        + reader.disconnects + " time(s)");
    printer.clearWritten();
    usb.write(ascii("still printing\n"));
    say("write after the replug returned (the library writes through its reopened handle)");
    check(printer.waitWritten(15, BOUND_MS), "write after recovery");
    check(usb.isConnected(), "connected again");
    showReceived(printer);
    trace();

    heading("Printer class: closing (stops the receiver, closes both pipes)");
    say("close() ends the reader thread's read, which throws AsynchronousCloseException.");
    usb.close();
    reader.join(BOUND_MS);
    check(!reader.isAlive(), "the reader thread ended with the close");
    say("the reader thread ended with " + reader.end);
    say("usbGetBytesAvailable -> " + port.usbGetBytesAvailable());
    trace();
  }

  /** A Java thread reading the printer-class printer, as a driver's status monitor would. */
  private static final class Reader extends Thread {
    private final UsbPrinter usb;
    private final ByteArrayOutputStream received = new ByteArrayOutputStream();
    private volatile int disconnects;
    private volatile String end = "nothing";

    Reader(UsbPrinter usb) {
      super("printer reader");
      this.usb = usb;
      setDaemon(true);
    }

    @Override
    public void run() {
      byte[] buffer = new byte[64];
      while (true) {
        try {
          int n = usb.read(buffer, Duration.ofSeconds(1)); // 0 after a second without bytes
          synchronized (received) {
            received.write(buffer, 0, n);
            received.notifyAll();
          }
        } catch (PrinterDisconnectedException e) {
          disconnects++;
        } catch (IOException e) {
          end = e.getClass().getSimpleName();
          return;
        }
      }
    }

    boolean awaitText(String tail) {
      long deadline = System.nanoTime() + BOUND_MS * 1_000_000L;
      synchronized (received) {
        while (!text().endsWith(tail)) {
          long left = (deadline - System.nanoTime()) / 1_000_000L;
          if (left <= 0) {
            return false;
          }
          try {
            received.wait(left);
          } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return false;
          }
        }
        return true;
      }
    }

    String text() {
      synchronized (received) {
        return received.toString(StandardCharsets.ISO_8859_1);
      }
    }
  }

  // ---- Steps common to both types ----

  private void printReceipt(SimulatedPrinter printer, String title) {
    heading("Printing a receipt");
    printer.clearWritten();
    byte[] bytes = receipt(title);
    int rc = port.usbWriteOutputPipe(port.hWritePort, bytes);
    say("usbWriteOutputPipe(" + bytes.length + " bytes) -> " + rc);
    check(rc == 0 && printer.waitWritten(bytes.length, BOUND_MS), "receipt written");
    showReceived(printer);
    trace();
  }

  private static byte[] receipt(String title) {
    return ascii(
        "\u001b@"
            + "  VELTO CAFE  (" + title + ")\n"
            + "1 x Espresso          2.40\n"
            + "1 x Croissant         1.90\n"
            + "--------------------------\n"
            + "TOTAL                 4.30\n\n"
            + "\u001dV\u0000");
  }

  private void statusRequest(SimulatedPrinter printer) {
    heading("Status request (DLE EOT 1) and the printer's reply");
    int rc = port.usbWriteOutputPipe(port.hWritePort, STATUS_REQUEST);
    say("usbWriteOutputPipe(10 04 01) -> " + rc);
    byte[] reply = new byte[8];
    // A printer-class read gives up after 100 ms without bytes: ask again until the reply is in.
    long deadline = System.nanoTime() + BOUND_MS * 1_000_000L;
    int n;
    do {
      n = port.usbReadInputPipe(port.hReadPort, reply);
      say("usbReadInputPipe -> " + n + (n > 0 ? " byte(s): " + hex(reply, n) : ""));
    } while (n <= 0 && System.nanoTime() < deadline);
    check(n == 1 && reply[0] == STATUS_REPLY[0], "status reply 16 received");
    trace();
  }

  private void showReceived(SimulatedPrinter printer) {
    byte[] got = printer.written();
    say("the printer received " + got.length + " bytes:");
    StringBuilder line = new StringBuilder();
    for (byte b : got) {
      int c = b & 0xff;
      if (c == '\n') {
        say("    |" + line + "\\n");
        line.setLength(0);
      } else if (c >= 0x20 && c < 0x7f) {
        line.append((char) c);
      } else {
        line.append(String.format("<%02x>", c));
      }
    }
    if (line.length() > 0) {
      say("    |" + line);
    }
  }

  // ---- Output ----

  /**
   * Prints the library's debugger output traced since the last call. A Java read on a printer-class
   * printer that waited 100 ms without bytes traces a dozen lines; while the demo's reader thread
   * idles, such reads are counted instead of printed. Lines of other threads that came in between
   * are printed in their place.
   */
  private void trace() {
    for (String text : DebugOutput.take(0)) {
      pending.add(text);
      if (text.contains("Entering usbReadInputPipe")) {
        readStart = pending.size() - 1;
      } else if (readStart >= 0 && text.contains("Leaving usbReadInputPipe")) {
        List<String> read = pending.subList(readStart, pending.size());
        boolean idle = read.stream().anyMatch(l -> l.contains("GetPCLSData: 0 return"));
        if (idle) {
          idleReads++;
          read.removeIf(Demo::isReadLine);
        }
        readStart = -1;
      }
      if (readStart < 0) {
        printPending();
      }
    }
    if (readStart < 0) {
      printPending();
    }
  }

  private final List<String> pending = new ArrayList<>();
  private int readStart = -1;
  private int idleReads;

  private static boolean isReadLine(String text) {
    return text.startsWith("usbReadInputPipe(") || text.startsWith("GetPCLSData(");
  }

  private void printPending() {
    for (String text : pending) {
      if (idleReads > 0) {
        printTrace("(" + idleReads + " Java read(s) that waited 100 ms without bytes and returned -1)");
        idleReads = 0;
      }
      for (String one : text.split("\n")) {
        printTrace(one.replace("\r", "\\r"));
      }
    }
    pending.clear();
  }

  private void printTrace(String line) {
    if (showTrace) {
      System.out.println("  | " + line);
    }
  }

  private void check(boolean ok, String what) {
    if (!ok) {
      failures++;
      say("!! FAILED: " + what);
    }
  }

  /** A counter with a receipt and a kitchen printer of one model: listed, opened by id, both busy. */
  private void counter() throws Exception {
    heading("Several printers: listing them and opening two by id");
    SimulatedPrinter receipts =
        SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath("COUNTER-1"));
    receipts.setIdentity("Velto", "Receipt 80", "RC-1001", "1-1.2");
    SimulatedPrinter kitchen =
        SimulatedPrinter.plugPrinterClass(SimulatedPrinter.printerClassPath("COUNTER-2"));
    kitchen.setIdentity("Velto", "Receipt 80", null, "1-1.3"); // reports no serial number
    say("UsbPrinter.list():");
    List<PrinterInfo> printers = UsbPrinter.list();
    for (PrinterInfo p : printers) {
      say("  " + p);
    }
    check(printers.size() == 2, "two printers listed");
    String receiptId = printers.get(0).id();
    String kitchenId = printers.get(1).id();
    String receipt = "RECEIPT\n1 x Espresso 2.40\nTOTAL 2.40\n";
    String ticket = "KITCHEN\n2 x Soup\n";
    try (UsbPrinter r = UsbPrinter.open(receiptId);
        UsbPrinter k = UsbPrinter.open(kitchenId)) {
      say("opened " + receiptId + " and " + kitchenId + "; printing from two threads");
      Thread other = new Thread(() -> writeQuietly(k, ticket));
      other.start();
      writeQuietly(r, receipt);
      other.join();
    }
    try (UsbPrinter r = UsbPrinter.open(receiptId)) {
      say("device id of " + receiptId + ": " + r.deviceId().raw());
      say("  its model: " + r.deviceId().get("MODEL").orElse("(none)"));
      say("port status: " + r.portStatus());
      check(receipts.setPortStatus(0x38), "the receipt printer runs out of paper");
      say("port status: " + r.portStatus());
      check(r.portStatus().paperEmpty(), "paper out told");
    }
    String gotReceipt = new String(receipts.written(), StandardCharsets.ISO_8859_1);
    String gotTicket = new String(kitchen.written(), StandardCharsets.ISO_8859_1);
    say("receipt printer's log: " + quote(gotReceipt));
    say("kitchen printer's log: " + quote(gotTicket));
    check(gotReceipt.equals(receipt) && gotTicket.equals(ticket), "each printer got exactly its bytes");

    heading("A write that times out: the printer stalls after the first 64 KiB of an image");
    try (UsbPrinter r = UsbPrinter.open(receiptId)) {
      byte[] image = new byte[200_000];
      r.write(image, Duration.ofSeconds(2), done -> {
        say("  progress: the printer took " + done + " bytes");
        receipts.setWriteStall(true); // paper out after the first piece
      });
      check(false, "the write timed out");
    } catch (WriteTimeoutException e) {
      say("WriteTimeoutException: " + e.getMessage());
      say("  bytesTransferred = " + e.bytesTransferred);
      check(e.bytesTransferred == 65536, "the bytes the printer took are told");
    } finally {
      receipts.setWriteStall(false);
    }

    heading("Printers coming and going, heard by a listener");
    BlockingQueue<String> heard = new LinkedBlockingQueue<>();
    PrinterListener.Registration listening =
        UsbPrinter.addListener(
            new PrinterListener() {
              @Override
              public void attached(PrinterInfo p) {
                heard.add("attached: " + p);
              }

              @Override
              public void detached(PrinterInfo p) {
                heard.add("detached: " + p);
              }
            });
    try {
      // The listener knows what is there once the library has listed twice (two classes each).
      int listings = Simulator.callCount(EmulatedFunction.SetupDiGetClassDevsA);
      check(Simulator.waitCallCount(EmulatedFunction.SetupDiGetClassDevsA, listings + 4, BOUND_MS),
          "listener started");
      check(kitchen.unplug(), "unplug the kitchen printer");
      say("  " + awaitEvent(heard));
      check(kitchen.replug(), "replug it");
      say("  " + awaitEvent(heard));
    } finally {
      listening.close();
    }
    receipts.unplug();
    kitchen.unplug();
  }

  private String awaitEvent(BlockingQueue<String> heard) throws InterruptedException {
    String event = heard.poll(BOUND_MS, TimeUnit.MILLISECONDS);
    check(event != null, "event heard");
    return event;
  }

  private void writeQuietly(UsbPrinter printer, String text) {
    try {
      printer.write(text.getBytes(StandardCharsets.ISO_8859_1));
    } catch (IOException e) {
      check(false, "write to " + printer.info().id() + ": " + e.getMessage());
    }
  }

  private static void heading(String text) {
    System.out.println();
    System.out.println("== " + text);
  }

  private static void say(String text) {
    System.out.println(text);
  }

  private static String typeName(int type) {
    switch (type) {
      case UsbPort.USB_TYPE_NATIVE:
        return " (native)";
      case UsbPort.USB_TYPE_PRINTER_CLASS:
        return " (printer class)";
      default:
        return " (failed)";
    }
  }

  private static byte[] ascii(String s) {
    return s.getBytes(StandardCharsets.ISO_8859_1);
  }

  private static String hex(byte[] b, int n) {
    StringBuilder sb = new StringBuilder();
    for (int i = 0; i < n; i++) {
      sb.append(String.format("%02x ", b[i] & 0xff));
    }
    return sb.toString().trim();
  }

  private static String quote(String s) {
    return "\"" + s.replace("\r", "\\r").replace("\n", "\\n") + "\"";
  }
}
