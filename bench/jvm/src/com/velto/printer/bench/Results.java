package com.velto.printer.bench;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/** The figures of one run, written as JSON (the machine-readable results file). */
final class Results {
  private final Map<String, String> header = new LinkedHashMap<>();
  private final List<String> metrics = new ArrayList<>();
  private final Map<String, long[]> histograms = new LinkedHashMap<>();

  void header(String key, String value) {
    header.put(key, value);
  }

  /**
   * One row: the library's figure and the raw baseline's (NaN: none). {@code better} says which
   * way is better ("lower" or "higher").
   */
  void metric(String id, String name, String unit, String better, double library, double raw) {
    metrics.add(
        String.format(
            Locale.ROOT,
            "{\"id\": %s, \"name\": %s, \"unit\": %s, \"better\": %s, \"library\": %s, \"raw\": %s}",
            quote(id),
            quote(name),
            quote(unit),
            quote(better),
            number(library),
            number(raw)));
    System.out.printf(
        Locale.ROOT, "  %-52s %14s %14s %s%n", name, show(library), show(raw), unit);
  }

  void histogram(String name, long[] counts) {
    histograms.put(name, counts);
  }

  void write(Path file) throws IOException {
    StringBuilder sb = new StringBuilder("{\n");
    for (Map.Entry<String, String> e : header.entrySet()) {
      sb.append("  ").append(quote(e.getKey())).append(": ").append(quote(e.getValue()));
      sb.append(",\n");
    }
    sb.append("  \"metrics\": [\n    ");
    sb.append(String.join(",\n    ", metrics));
    sb.append("\n  ],\n  \"histogramBucketsMicros\": \"2^(i/4)\",\n  \"histograms\": {");
    List<String> parts = new ArrayList<>();
    for (Map.Entry<String, long[]> e : histograms.entrySet()) {
      StringBuilder h = new StringBuilder("\n    ").append(quote(e.getKey())).append(": [");
      long[] counts = e.getValue();
      for (int i = 0; i < counts.length; i++) {
        h.append(i == 0 ? "" : ", ").append(counts[i]);
      }
      parts.add(h.append("]").toString());
    }
    sb.append(String.join(",", parts)).append("\n  }\n}\n");
    Files.createDirectories(file.toAbsolutePath().getParent());
    Files.write(file, sb.toString().getBytes(StandardCharsets.UTF_8));
  }

  static String show(double v) {
    if (Double.isNaN(v)) {
      return "-";
    }
    return String.format(Locale.ROOT, Math.abs(v) >= 100 || v == Math.rint(v) ? "%.0f" : "%.3g", v);
  }

  private static String number(double v) {
    return Double.isNaN(v) || Double.isInfinite(v) ? "null" : String.format(Locale.ROOT, "%.6g", v);
  }

  static String quote(String s) {
    StringBuilder sb = new StringBuilder("\"");
    for (char c : s.toCharArray()) {
      if (c == '"' || c == '\\') {
        sb.append('\\').append(c);
      } else if (c < 0x20) {
        sb.append(String.format(Locale.ROOT, "\\u%04x", (int) c));
      } else {
        sb.append(c);
      }
    }
    return sb.append('"').toString();
  }
}
