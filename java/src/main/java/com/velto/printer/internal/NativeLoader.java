package com.velto.printer.internal;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.function.Consumer;
import java.util.stream.Stream;

/**
 * Loads a native library of veltousb for the class that declares its natives. Not an API: the
 * classes of this library call it from their class initialisers.
 *
 * <p>It tries, in this order, and stops at the first that works:
 *
 * <ol>
 *   <li>the folder named by the system property {@value #LIBRARY_PATH_PROPERTY};
 *   <li>{@code System.loadLibrary(name)}, which searches {@code java.library.path};
 *   <li>the natives in the jar for this OS and architecture, put into a per-user cache folder
 *       (one folder per version and content, reused by later starts);
 *   <li>the same natives put into a new folder in the JVM's temp folder.
 * </ol>
 *
 * When all fail, the {@link UnsatisfiedLinkError} lists each attempt and why it failed.
 */
public final class NativeLoader {
  /** System property naming a folder that holds the library: the first place looked at. */
  public static final String LIBRARY_PATH_PROPERTY = "veltousb.library.path";

  private static final Map<String, String> LOADED = new ConcurrentHashMap<>();
  private static final Map<String, List<String>> TRIED = new ConcurrentHashMap<>();

  private NativeLoader() {}

  /**
   * Loads {@code name} ("veltousb" for {@code veltousb.dll} or {@code libveltousb.so}). The two
   * functions are {@code System::load} and {@code System::loadLibrary} as the caller sees them, so
   * that the library belongs to the caller's class loader.
   *
   * @param anchor a class of the jar that carries the natives
   * @throws UnsatisfiedLinkError listing what was tried, when nothing worked
   */
  public static synchronized void load(
      String name, Class<?> anchor, Consumer<String> load, Consumer<String> loadLibrary) {
    if (LOADED.containsKey(name)) {
      return;
    }
    String platform = NativePlatform.current();
    List<String> tried = new ArrayList<>();
    String where = fromProperty(name, platform, load, tried);
    if (where == null) {
      where = fromLibraryPath(name, platform, loadLibrary, tried);
    }
    if (where == null) {
      where = fromJar(name, anchor, platform, load, tried);
    }
    if (where == null) {
      StringBuilder msg =
          new StringBuilder("cannot load the native library \"")
              .append(name)
              .append("\" (")
              .append(NativePlatform.describeJvm())
              .append("). Tried, in this order:");
      for (int i = 0; i < tried.size(); i++) {
        msg.append("\n  ").append(i + 1).append(". ").append(tried.get(i));
      }
      throw new UnsatisfiedLinkError(msg.toString());
    }
    LOADED.put(name, where);
    TRIED.put(name, List.copyOf(tried));
  }

  /**
   * Where {@code name} was loaded from: the file's absolute path, or "java.library.path"; null
   * when it was not loaded through this class.
   */
  public static String loadedFrom(String name) {
    return LOADED.get(name);
  }

  /** What failed before {@code name} was loaded, as the error would have listed it. */
  static List<String> triedBefore(String name) {
    return TRIED.getOrDefault(name, List.of());
  }

  private static String fromProperty(
      String name, String platform, Consumer<String> load, List<String> tried) {
    String folder = System.getProperty(LIBRARY_PATH_PROPERTY, "");
    String what = "-D" + LIBRARY_PATH_PROPERTY;
    if (folder.isEmpty()) {
      tried.add(what + ": not set");
      return null;
    }
    Path file = Path.of(folder).resolve(System.mapLibraryName(name)).toAbsolutePath();
    if (!Files.isRegularFile(file)) {
      tried.add(what + ": no " + file);
      return null;
    }
    return tryLoad(what + ": " + file, file, platform, load, tried);
  }

  private static String fromLibraryPath(
      String name, String platform, Consumer<String> loadLibrary, List<String> tried) {
    String path = System.getProperty("java.library.path", "");
    try {
      loadLibrary.accept(name);
      return "java.library.path";
    } catch (UnsatisfiedLinkError e) {
      String why = e.getMessage();
      for (String dir : path.split(java.io.File.pathSeparator)) {
        Path file = Path.of(dir.isEmpty() ? "." : dir).resolve(System.mapLibraryName(name));
        if (Files.isRegularFile(file)) {
          why += BinaryHeader.mismatch(file, platform);
          break;
        }
      }
      tried.add("System.loadLibrary(\"" + name + "\"): " + why);
      return null;
    }
  }

  private static String fromJar(
      String name, Class<?> anchor, String platform, Consumer<String> load, List<String> tried) {
    if (platform == null) {
      tried.add(
          "natives in the jar: there are none for this JVM, only for "
              + String.join(", ", NativePlatform.SUPPORTED));
      return null;
    }
    NativeBundle bundle;
    try {
      bundle = NativeBundle.find(anchor, name, platform);
    } catch (IOException e) {
      tried.add("natives in the jar: " + e);
      return null;
    }
    if (bundle == null) {
      tried.add("natives in the jar: the jar of " + anchor.getName() + " has no "
          + NativeBundle.listPath(name, platform));
      return null;
    }
    Path root = CacheFolder.forUser();
    Path cache = root.resolve(bundle.key());
    try {
      String unsafe = CacheFolder.claim(root, cache);
      if (unsafe != null) {
        tried.add("per-user cache " + cache + ": refused, " + unsafe);
      } else {
        Path lib = bundle.extractTo(cache);
        String where = tryLoad("per-user cache " + lib, lib, platform, load, tried);
        if (where != null) {
          return where;
        }
      }
    } catch (IOException | RuntimeException e) {
      tried.add("per-user cache " + cache + ": " + e);
    }
    Path temp = Path.of(System.getProperty("java.io.tmpdir", "."));
    Path dir = null;
    try {
      dir = Files.createTempDirectory(temp, bundle.key() + "-");
      Path lib = bundle.extractTo(dir);
      return tryLoad("JVM temp folder " + lib, lib, platform, load, tried);
    } catch (IOException | RuntimeException e) {
      tried.add("JVM temp folder " + temp + ": " + e);
      return null;
    } finally {
      removeLoaded(dir);
    }
  }

  private static String tryLoad(
      String what, Path lib, String platform, Consumer<String> load, List<String> tried) {
    try {
      load.accept(lib.toString());
      return lib.toString();
    } catch (UnsatisfiedLinkError e) {
      tried.add(what + ": " + e.getMessage() + BinaryHeader.mismatch(lib, platform));
      return null;
    }
  }

  /**
   * The temp folder is for this JVM alone: once loaded, its files can go on POSIX systems. Windows
   * keeps a loaded DLL's file; it stays until the temp folder is cleaned.
   */
  private static void removeLoaded(Path dir) {
    if (dir == null || "windows".equals(NativePlatform.family(System.getProperty("os.name")))) {
      return;
    }
    try (Stream<Path> s = Files.walk(dir)) {
      for (Path p : (Iterable<Path>) s.sorted(Comparator.reverseOrder())::iterator) {
        Files.deleteIfExists(p);
      }
    } catch (IOException e) {
      // Left for the system's temp cleaning.
    }
  }
}
