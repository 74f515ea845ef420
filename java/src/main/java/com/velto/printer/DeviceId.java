package com.velto.printer;

import java.nio.charset.StandardCharsets;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.Locale;
import java.util.Map;
import java.util.Optional;

/**
 * The IEEE 1284 device id a USB printer class printer reports: {@code KEY:value;} pairs such as
 * {@code MFG:Velto;MDL:TM-20;CMD:ESC/POS;}. Keys compare in any case, and the long names {@code
 * MANUFACTURER}, {@code MODEL}, {@code COMMAND SET}, {@code CLASS}, {@code DESCRIPTION} and {@code
 * SERIALNUMBER} stand for {@code MFG}, {@code MDL}, {@code CMD}, {@code CLS}, {@code DES} and
 * {@code SN}, whichever of the two the printer used. Printers get the form wrong often: a pair
 * without a colon or with an empty key is skipped, the last pair may lack its ';', and of a key
 * given twice the first counts. Immutable.
 */
public final class DeviceId {
  private static final Map<String, String> SHORT_NAMES =
      Map.of(
          "MANUFACTURER", "MFG",
          "MODEL", "MDL",
          "COMMAND SET", "CMD",
          "CLASS", "CLS",
          "DESCRIPTION", "DES",
          "SERIALNUMBER", "SN");

  private final String raw;
  private final Map<String, String> values;

  /** The id of the text {@code raw}, as the printer sent it without its length prefix. */
  public DeviceId(String raw) {
    this.raw = raw;
    Map<String, String> parsed = new LinkedHashMap<>();
    for (String pair : raw.split(";")) {
      int colon = pair.indexOf(':');
      String key = colon < 0 ? "" : key(pair.substring(0, colon));
      if (!key.isEmpty()) {
        parsed.putIfAbsent(key, pair.substring(colon + 1).trim());
      }
    }
    this.values = Collections.unmodifiableMap(parsed);
  }

  static DeviceId of(byte[] text, int length) {
    // The standard says ASCII; Latin-1 keeps every other byte as one character.
    return new DeviceId(new String(text, 0, length, StandardCharsets.ISO_8859_1));
  }

  private static String key(String name) {
    String upper = name.trim().toUpperCase(Locale.ROOT);
    return SHORT_NAMES.getOrDefault(upper, upper);
  }

  /** The text as the printer sent it, without its length prefix. */
  public String raw() {
    return raw;
  }

  /**
   * The value of {@code key} ({@code "MDL"}, {@code "model"}, ...), trimmed; empty when the id has
   * none.
   */
  public Optional<String> get(String key) {
    return Optional.ofNullable(values.get(key(key)));
  }

  @Override
  public boolean equals(Object o) {
    return o instanceof DeviceId other && other.raw.equals(raw);
  }

  @Override
  public int hashCode() {
    return raw.hashCode();
  }

  @Override
  public String toString() {
    return raw;
  }
}
