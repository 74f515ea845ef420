package com.velto.printer;

import com.velto.printer.internal.NativePrinters;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Objects;
import java.util.Optional;

/**
 * A printer the library can reach, as {@link UsbPrinter#list()} found it: what the system records
 * of the device, read without opening it or sending it anything.
 *
 * <p>{@link #id()} is a name to write into a configuration file and give to {@link
 * UsbPrinter#open(String)}: {@code usb:VVVV:PPPP/SERIAL} (vendor and product id in hex, then the
 * serial number) when no other printer of that model has the same serial number, else {@code
 * usb:VVVV:PPPP@LOCATION}, the port the printer is plugged into. A serial-number id follows the
 * printer to any port; a location id names the port, whichever printer of the model is plugged
 * into it. In ids, characters outside printable ASCII, and {@code %}, are written as {@code %XX}
 * (UTF-8).
 */
public final class PrinterInfo {
  private final UsbPrinter.Type type;
  private final String interfacePath;
  private final int vendorId;
  private final int productId;
  private final String serial; // null: none
  private final String manufacturer;
  private final String product;
  private final String location;
  private final boolean accepted;
  private final boolean serialUnique;

  private PrinterInfo(String[] f, int at, boolean serialUnique) {
    this.type =
        Integer.parseInt(f[at]) == UsbPort.USB_TYPE_PRINTER_CLASS
            ? UsbPrinter.Type.PRINTER_CLASS
            : UsbPrinter.Type.NATIVE;
    this.interfacePath = f[at + 1];
    this.vendorId = Integer.parseInt(f[at + 2]);
    this.productId = Integer.parseInt(f[at + 3]);
    this.serial = f[at + 4];
    this.manufacturer = Objects.requireNonNullElse(f[at + 5], "");
    this.product = Objects.requireNonNullElse(f[at + 6], "");
    this.location = Objects.requireNonNullElse(f[at + 7], "");
    this.accepted = "1".equals(f[at + 9]);
    this.serialUnique = serialUnique;
  }

  /** Every printer the library can reach: the vendor's native driver's first, then the class's. */
  static List<PrinterInfo> listAll() {
    String[] f = NativePrinters.list();
    if (f == null) {
      throw new OutOfMemoryError("listing the printers");
    }
    int n = f.length / NativePrinters.PRINTER_FIELDS;
    Map<String, Integer> serials = new HashMap<>();
    for (int i = 0; i < n; i++) {
      serials.merge(modelSerial(f, i * NativePrinters.PRINTER_FIELDS), 1, Integer::sum);
    }
    List<PrinterInfo> printers = new ArrayList<>(n);
    for (int i = 0; i < n; i++) {
      int at = i * NativePrinters.PRINTER_FIELDS;
      boolean unique = f[at + 4] != null && serials.get(modelSerial(f, at)) == 1;
      printers.add(new PrinterInfo(f, at, unique));
    }
    return List.copyOf(printers);
  }

  private static String modelSerial(String[] f, int at) {
    return f[at + 2] + ":" + f[at + 3] + "/" + f[at + 4];
  }

  /** The name to open this printer by: see the class description. */
  public String id() {
    return serialUnique ? idBySerial() : idByLocation();
  }

  String idBySerial() {
    return model() + "/" + escape(serial);
  }

  String idByLocation() {
    return model() + "@" + escape(location);
  }

  private String model() {
    return String.format(Locale.ROOT, "usb:%04x:%04x", vendorId & 0xFFFF, productId & 0xFFFF);
  }

  /** Writes what an id cannot carry as {@code %XX}. */
  static String escape(String s) {
    StringBuilder b = new StringBuilder();
    for (byte c : s.getBytes(StandardCharsets.UTF_8)) {
      if (c > 0x20 && c < 0x7F && c != '%') {
        b.append((char) c);
      } else {
        b.append(String.format(Locale.ROOT, "%%%02X", c & 0xFF));
      }
    }
    return b.toString();
  }

  /** The USB vendor id, -1 when the system does not say. */
  public int vendorId() {
    return vendorId;
  }

  /** The USB product id, -1 when the system does not say. */
  public int productId() {
    return productId;
  }

  /** The device's serial number; empty when it reports none. */
  public Optional<String> serialNumber() {
    return Optional.ofNullable(serial);
  }

  /**
   * False when the printer has no serial number, or another printer of the same vendor and product
   * id reports the same one (then {@link #id()} names the printer by its location).
   */
  public boolean serialUnique() {
    return serialUnique;
  }

  /** The manufacturer the system records; "" when none. */
  public String manufacturer() {
    return manufacturer;
  }

  /** The product name the system records; "" when none. */
  public String product() {
    return product;
  }

  /** The interface class the printer was found in, which decides how the library reads it. */
  public UsbPrinter.Type type() {
    return type;
  }

  /**
   * The port path: on Windows the device's location path (or its location information), on Linux
   * the USB device's sysfs name such as {@code 1-1.2}.
   */
  public String location() {
    return location;
  }

  /** The device interface path the library opens. */
  public String interfacePath() {
    return interfacePath;
  }

  /**
   * Whether the library's table of printer models accepts the printer: {@link UsbPrinter#open()}
   * opens only those; the other opens take any printer named explicitly.
   */
  public boolean accepted() {
    return accepted;
  }

  @Override
  public boolean equals(Object o) {
    return o instanceof PrinterInfo p
        && p.type == type
        && p.interfacePath.equalsIgnoreCase(interfacePath);
  }

  @Override
  public int hashCode() {
    return interfacePath.toLowerCase(Locale.ROOT).hashCode() * 31 + type.hashCode();
  }

  @Override
  public String toString() {
    return id()
        + " "
        + (manufacturer + " " + product).trim()
        + " ("
        + (type == UsbPrinter.Type.NATIVE ? "native" : "printer class")
        + ", at "
        + location
        + (serialUnique || serial == null ? "" : ", serial shared")
        + (accepted ? "" : ", not in the table")
        + ")";
  }
}
