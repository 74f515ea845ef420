package com.velto.printer.internal;

import java.util.List;
import java.util.Locale;

/**
 * The platforms the jar carries natives for, and which of them a JVM needs. The choice follows the
 * JVM, not the operating system: a 32-bit JVM on 64-bit Windows reports {@code os.arch=x86} and
 * {@code sun.arch.data.model=32} and needs the 32-bit DLL.
 */
final class NativePlatform {
  static final String WINDOWS_X86 = "windows-x86";
  static final String WINDOWS_X86_64 = "windows-x86_64";
  static final String LINUX_X86_64 = "linux-x86_64";
  static final List<String> SUPPORTED = List.of(WINDOWS_X86, WINDOWS_X86_64, LINUX_X86_64);

  private NativePlatform() {}

  /** The platform of the running JVM, or null when the jar has no natives for it. */
  static String current() {
    return of(
        System.getProperty("os.name", ""),
        System.getProperty("os.arch", ""),
        System.getProperty("sun.arch.data.model", ""));
  }

  /**
   * The platform for a JVM with these properties, or null when none of {@link #SUPPORTED} fits.
   *
   * @param dataModel {@code sun.arch.data.model}: "32", "64", or empty when the JVM does not say
   */
  static String of(String osName, String osArch, String dataModel) {
    String id = family(osName) + "-" + arch(osArch, dataModel);
    return SUPPORTED.contains(id) ? id : null;
  }

  /** "windows", "linux", or the lower-case OS name for the others. */
  static String family(String osName) {
    String os = osName.toLowerCase(Locale.ROOT);
    if (os.startsWith("windows")) {
      return "windows";
    }
    return os.startsWith("linux") ? "linux" : os.replace(' ', '_');
  }

  private static String arch(String osArch, String dataModel) {
    String a = osArch.toLowerCase(Locale.ROOT);
    switch (a) {
      case "x86":
      case "i386":
      case "i486":
      case "i586":
      case "i686":
      case "ia32":
        return "x86";
      case "amd64":
      case "x86_64":
      case "x64":
      case "em64t":
        return "32".equals(dataModel) ? "x86" : "x86_64";
      default:
        return a;
    }
  }

  /** The JVM as the loader's messages name it. */
  static String describeJvm() {
    return String.format(
        "os.name=%s, os.arch=%s, sun.arch.data.model=%s",
        System.getProperty("os.name"),
        System.getProperty("os.arch"),
        System.getProperty("sun.arch.data.model", "?"));
  }
}
