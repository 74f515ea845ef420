package com.velto.printer.demo;

import com.velto.printer.UsbPort;
import com.velto.printer.sim.Simulator;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The printers of this machine rather than simulated ones: lists the USB printer-class printers
 * that the emulation finds (on Linux, those the kernel's usblp driver drives), tells which the
 * library's device table accepts, and sends the first accepted one a status request through {@link
 * UsbPort}, as a Java driver would.
 *
 * <p>Exits 0 when no printer is found, or when the accepted printer took the request; 1 when it
 * could not be opened or written.
 */
final class RealPrinters {
  private static final byte[] STATUS_REQUEST = {0x10, 0x04, 0x01};
  private static final long REPLY_WAIT_MS = 3_000;
  private static final Pattern IDS =
      Pattern.compile("vid_([0-9a-f]{4})&pid_([0-9a-f]{4})", Pattern.CASE_INSENSITIVE);

  private RealPrinters() {}

  static int run() {
    say("veltousb on this machine's printers: USB printer-class printers driven by usblp");
    say("(the vendor's native class has no Linux driver: only printer-class printers are real here)");
    heading("Printer-class printers found");
    List<String> paths = Simulator.presentInterfaces(Simulator.printerClassInterfaceClass());
    if (paths.isEmpty()) {
      say("none: no USB printer-class printer is attached, or the usblp driver is not loaded");
      return 0;
    }
    List<String> patterns = Simulator.devicePatterns();
    String accepted = null;
    for (String path : paths) {
      boolean ok = patterns.stream().anyMatch(path::contains);
      say(String.format("%s  %-30s %s", ids(path), ok ? "accepted by the device table" : "not in the device table", path));
      if (ok && accepted == null) {
        accepted = path;
      }
    }
    if (accepted == null) {
      say("No printer here is one the library drives; nothing is opened.");
      return 0;
    }
    return statusRequest(accepted);
  }

  private static int statusRequest(String path) {
    heading("Status request to " + ids(path) + " through UsbPort");
    int error = Simulator.openError(path);
    if (error != 0) {
      say("The printer's node does not open: error " + error + hint(error));
      return 1;
    }
    UsbPort port = new UsbPort();
    int type = port.usbInitPipe(port, port.usbGetGenericReadValue());
    int typeW = port.usbInitPipe(port, port.usbGetGenericWriteValue());
    say("usbInitPipe(read) -> " + type + ", usbInitPipe(write) -> " + typeW);
    if (type != UsbPort.USB_TYPE_PRINTER_CLASS || typeW != UsbPort.USB_TYPE_PRINTER_CLASS) {
      say("The library did not open the printer.");
      if (type >= 0) {
        port.usbClosePipe(port.hReadPort);
      }
      return 1;
    }
    int rc = port.usbWriteOutputPipe(port.hWritePort, STATUS_REQUEST);
    say("usbWriteOutputPipe(10 04 01) -> " + rc + (rc == 0 ? "" : " " + text(port, rc)));
    List<String> got = new ArrayList<>();
    byte[] reply = new byte[16];
    long deadline = System.nanoTime() + REPLY_WAIT_MS * 1_000_000L;
    while (rc == 0 && got.isEmpty() && System.nanoTime() < deadline) {
      int n = port.usbReadInputPipe(port.hReadPort, reply);  // -1 after 100 ms without bytes
      for (int i = 0; i < n; i++) {
        got.add(String.format("%02x", reply[i] & 0xff));
      }
    }
    say(got.isEmpty()
        ? "no reply within " + REPLY_WAIT_MS + " ms (a printer that does not speak DLE EOT stays silent)"
        : "reply: " + String.join(" ", got));
    say("usbClosePipe -> " + port.usbClosePipe(port.hReadPort));
    return rc == 0 ? 0 : 1;
  }

  private static String ids(String path) {
    Matcher m = IDS.matcher(path);
    return m.find()
        ? "VID " + m.group(1).toLowerCase(Locale.ROOT) + " PID " + m.group(2).toLowerCase(Locale.ROOT)
        : "VID ? PID ?";
  }

  private static String hint(int error) {
    switch (error) {
      case 5:
        return " (access denied): the node /dev/usb/lpN belongs to root and the lp group; add"
            + " yourself to lp (usermod -aG lp $USER, then log in again) or install a udev rule"
            + " (docs/linux.md)";
      case 2:
        return " (not found): the printer went away, or udev has not made its node";
      default:
        return "";
    }
  }

  private static String text(UsbPort port, int code) {
    return "(" + port.usbGetErrorString(code).trim() + ")";
  }

  private static void heading(String text) {
    System.out.println();
    System.out.println("== " + text);
  }

  private static void say(String text) {
    System.out.println(text);
  }
}
