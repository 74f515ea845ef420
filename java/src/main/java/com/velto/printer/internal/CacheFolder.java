package com.velto.printer.internal;

import java.nio.file.Path;

/**
 * The per-user folder that extracted natives are kept in: {@code %LOCALAPPDATA%\veltousb\cache}
 * on Windows, {@code $XDG_CACHE_HOME/veltousb} (by default {@code ~/.cache/veltousb}) elsewhere.
 * A user's own folder, unlike the temp folder: no other user can put a library there, and a
 * locked-down or no-exec temp folder does not matter.
 */
final class CacheFolder {
  private CacheFolder() {}

  static Path forUser() {
    String home = System.getProperty("user.home", ".");
    if ("windows".equals(NativePlatform.family(System.getProperty("os.name", "")))) {
      String local = System.getenv("LOCALAPPDATA");
      Path base =
          local != null && !local.isEmpty()
              ? Path.of(local)
              : Path.of(home, "AppData", "Local");
      return base.resolve("veltousb").resolve("cache");
    }
    String xdg = System.getenv("XDG_CACHE_HOME");
    Path base =
        xdg != null && !xdg.isEmpty() && Path.of(xdg).isAbsolute()
            ? Path.of(xdg)
            : Path.of(home, ".cache");
    return base.resolve("veltousb");
  }
}
