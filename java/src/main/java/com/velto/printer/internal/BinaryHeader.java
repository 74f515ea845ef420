package com.velto.printer.internal;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * What kind of library a file holds, from its header: enough to tell a user that a DLL or shared
 * object is of the wrong architecture for the JVM, which the JVM's own messages do not always say.
 */
final class BinaryHeader {
  private BinaryHeader() {}

  /**
   * Why {@code file} cannot serve a JVM of {@code platform}, or an empty text when its header does
   * not show it.
   */
  static String mismatch(Path file, String platform) {
    byte[] head;
    try (InputStream in = Files.newInputStream(file)) {
      head = in.readNBytes(4096);
    } catch (IOException e) {
      return "";
    }
    String[] kind = kind(head);
    if (kind == null) {
      return "; the file is neither a DLL nor an ELF shared object";
    }
    if (platform == null || kind[1].equals(platform)) {
      return "";
    }
    return "; the file is " + kind[0] + ", the JVM needs one for " + platform;
  }

  /** {description, platform id} of a PE or ELF header, or null when it is neither. */
  static String[] kind(byte[] h) {
    ByteBuffer b = ByteBuffer.wrap(h).order(ByteOrder.LITTLE_ENDIAN);
    if (h.length >= 20 && h[0] == 0x7f && h[1] == 'E' && h[2] == 'L' && h[3] == 'F') {
      int bits = h[4] == 2 ? 64 : 32;
      if (h[5] == 2) {
        b.order(ByteOrder.BIG_ENDIAN);
      }
      String arch = elfArch(b.getShort(18) & 0xffff);
      return new String[] {
        "a " + bits + "-bit ELF shared object for " + arch, "linux-" + arch.replace('-', '_')
      };
    }
    if (h.length >= 0x40 && h[0] == 'M' && h[1] == 'Z') {
      int pe = b.getInt(0x3c);
      if (pe > 0 && pe + 6 <= h.length && b.getInt(pe) == 0x4550) {
        String arch = peArch(b.getShort(pe + 4) & 0xffff);
        return new String[] {"a DLL for " + arch, "windows-" + arch.replace('-', '_')};
      }
    }
    return null;
  }

  private static String elfArch(int machine) {
    switch (machine) {
      case 3:
        return "x86";
      case 62:
        return "x86-64";
      case 183:
        return "aarch64";
      case 40:
        return "arm";
      default:
        return "machine-" + machine;
    }
  }

  private static String peArch(int machine) {
    switch (machine) {
      case 0x14c:
        return "x86";
      case 0x8664:
        return "x86-64";
      case 0xaa64:
        return "arm64";
      default:
        return "machine-" + Integer.toHexString(machine);
    }
  }
}
