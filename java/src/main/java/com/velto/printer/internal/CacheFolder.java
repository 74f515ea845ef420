package com.velto.printer.internal;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileOwnerAttributeView;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.util.Set;

/**
 * The per-user folder that extracted natives are kept in: {@code %LOCALAPPDATA%\veltousb\cache}
 * on Windows, {@code $XDG_CACHE_HOME/veltousb} (by default {@code ~/.cache/veltousb}) elsewhere.
 * A user's own folder, unlike the temp folder: no other user can put a library there, and a
 * locked-down or no-exec temp folder does not matter. A folder that another user could change is
 * refused: the natives are checked before they are loaded by path, and such a user could swap a
 * file in between.
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

  /**
   * Creates {@code dir} below {@code root} for this user alone where it is missing, and tells why
   * another user could change what it holds: a folder from {@code dir} up to {@code root} that
   * belongs to someone else or that its group or others may write.
   *
   * @return null when the folder is this user's alone
   */
  static String claim(Path root, Path dir) throws IOException {
    if (dir.getFileSystem().supportedFileAttributeViews().contains("posix")) {
      Files.createDirectories(
          dir, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
    } else {
      Files.createDirectories(dir);
    }
    // Whoever this JVM runs as owns what it creates.
    Path probe = Files.createTempFile(dir, ".owner-", ".tmp");
    UserPrincipal me;
    try {
      me = ownerOf(probe);
    } finally {
      Files.delete(probe);
    }
    for (Path p = dir; p != null; p = p.getParent()) {
      String why = othersCanChange(p, me);
      if (why != null || p.equals(root)) {
        return why;
      }
    }
    return null;
  }

  /**
   * Why another user than {@code owner} could change {@code file}: it belongs to someone else, or
   * (where the file system has POSIX permissions) its group or others may write it; null when
   * neither. A null owner, from a file system without owners, is not checked.
   */
  static String othersCanChange(Path file, UserPrincipal owner) throws IOException {
    UserPrincipal actual = ownerOf(file);
    if (owner != null && !owner.equals(actual)) {
      return file + " belongs to " + actual.getName() + ", not to " + owner.getName();
    }
    PosixFileAttributeView posix = Files.getFileAttributeView(file, PosixFileAttributeView.class);
    if (posix != null) {
      Set<PosixFilePermission> perms = posix.readAttributes().permissions();
      if (perms.contains(PosixFilePermission.GROUP_WRITE)
          || perms.contains(PosixFilePermission.OTHERS_WRITE)) {
        return file + " may be written by its group or others ("
            + PosixFilePermissions.toString(perms) + ")";
      }
    }
    return null;
  }

  /** The owner of {@code file}, or null on a file system without owners. */
  static UserPrincipal ownerOf(Path file) throws IOException {
    FileOwnerAttributeView view = Files.getFileAttributeView(file, FileOwnerAttributeView.class);
    return view == null ? null : view.getOwner();
  }
}
