package com.velto.printer.internal;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The loader in child JVMs that have only the dist jars (and {@link LoaderProbe}) on their class
 * path, no java.library.path of ours and no LD_LIBRARY_PATH, each with cache and temp folders of
 * its own; and the choice of natives for each JVM.
 */
class NativeLoaderTest {
  private static final String OK = "reply 1 22\n";

  @TempDir Path scratch;

  @ParameterizedTest
  @CsvSource({
    "Windows 10, x86, 32, windows-x86",
    "Windows Server 2022, x86, 32, windows-x86", // a 32-bit JVM on 64-bit Windows
    "Windows 11, amd64, 64, windows-x86_64",
    "Windows 11, aarch64, 64, none",
    "Linux, amd64, 64, linux-x86_64",
    "Linux, x86_64, 64, linux-x86_64",
    "Linux, i386, 32, none",
    "Linux, aarch64, 64, none",
    "Mac OS X, x86_64, 64, none",
    "Mac OS X, aarch64, 64, none",
  })
  void eachJvmGetsTheNativesOfItsOwnArchitecture(
      String osName, String osArch, String dataModel, String expected) {
    String platform = NativePlatform.of(osName, osArch, dataModel);
    assertEquals(expected, platform == null ? "none" : platform);
  }

  @Test
  void fromTheJarIntoTheCacheReusedLaterWhileTheTempFolderIsUnusable() throws Exception {
    Path cache = Files.createDirectory(scratch.resolve("cache"));
    Path tmp = Files.writeString(scratch.resolve("tmp-is-a-file"), "");
    String first = run(tmp, cache);
    Path lib = loadedFrom(first, "veltousb");
    assertTrue(lib.startsWith(cache), first);
    assertTrue(loadedFrom(first, "veltosim_jni").startsWith(cache), first);
    Object key = Files.readAttributes(lib, BasicFileAttributes.class).fileKey();

    assertEquals(first, run(tmp, cache));
    assertEquals(key, Files.readAttributes(lib, BasicFileAttributes.class).fileKey(), "reused");

    // A cached file of the right size whose content changed is written anew.
    byte[] bytes = Files.readAllBytes(lib);
    bytes[bytes.length / 2] ^= 1;
    Files.write(lib, bytes);
    assertEquals(first, run(tmp, cache));
    assertNotEquals(
        key, Files.readAttributes(lib, BasicFileAttributes.class).fileKey(), "rewritten");
  }

  @Test
  void fromTheJarIntoTheTempFolderWhenTheCacheFails() throws Exception {
    Path cache = Files.writeString(scratch.resolve("cache-is-a-file"), "");
    Path tmp = Files.createDirectory(scratch.resolve("tmp"));
    String out = run(tmp, cache);
    assertTrue(loadedFrom(out, "veltousb").startsWith(tmp), out);
    try (var left = Files.list(tmp)) {
      assertEquals(0, left.count(), "the loaded files are removed");
    }
  }

  /** A cache folder that another user could change: the natives come from the temp folder. */
  @ParameterizedTest
  @CsvSource({"1, rwxrwxrwx", "2, rwxrwxr-x", "2, another owner"})
  void aCacheFolderOthersCouldChangeIsRefused(int levelsUp, String change) throws Exception {
    Path cache = Files.createDirectory(scratch.resolve("cache"));
    Path tmp = Files.createDirectory(scratch.resolve("tmp"));
    Path key = loadedFrom(run(tmp, cache), "veltousb").getParent();
    Path folder = levelsUp == 1 ? key : key.getParent();
    if (change.equals("another owner")) {
      try {
        Files.setAttribute(folder, "unix:uid", 65534);
      } catch (IOException e) {
        Assumptions.abort("cannot give a folder away: " + e);
      }
    } else {
      Files.setPosixFilePermissions(folder, PosixFilePermissions.fromString(change));
    }
    String out = run(tmp, cache);
    assertTrue(loadedFrom(out, "veltousb").startsWith(tmp), out);
    assertTrue(out.contains("\ntried per-user cache " + cache), out);
    assertTrue(out.contains(": refused, " + folder + " "), "says why:\n" + out);
  }

  @Test
  void moduleFromThePropertyFolderAndSimulatorFromTheJarShareOneEmulation() throws Exception {
    Path cache = Files.createDirectory(scratch.resolve("cache"));
    String libdir = System.getProperty("velto.test.libdir");
    String out = run(scratch, cache, "-D" + NativeLoader.LIBRARY_PATH_PROPERTY + "=" + libdir);
    assertEquals(Path.of(libdir, "libveltousb.so"), loadedFrom(out, "veltousb"));
    assertTrue(loadedFrom(out, "veltosim_jni").startsWith(cache), out);
  }

  @Test
  void whenAllFailTheErrorSaysWhatWasTriedAndWhy() throws Exception {
    Path wrong = Files.createDirectory(scratch.resolve("wrong"));
    byte[] elf32 = new byte[64];
    System.arraycopy(new byte[] {0x7f, 'E', 'L', 'F', 1, 1, 1}, 0, elf32, 0, 7);
    elf32[16] = 3; // a shared object
    elf32[18] = 3; // for x86
    Files.write(wrong.resolve("libveltousb.so"), elf32);
    Path file = Files.writeString(scratch.resolve("file"), "");
    String out =
        runExpecting(1, file, file, "-D" + NativeLoader.LIBRARY_PATH_PROPERTY + "=" + wrong);
    for (String attempt :
        new String[] {
          "Tried, in this order:",
          "1. -Dveltousb.library.path: " + wrong.resolve("libveltousb.so"),
          "the file is a 32-bit ELF shared object for x86, the JVM needs one for linux-x86_64",
          "2. System.loadLibrary(\"veltousb\"): no veltousb in java.library.path",
          "3. per-user cache " + file.resolve("veltousb"),
          "4. JVM temp folder " + file
        }) {
      assertTrue(out.contains(attempt), attempt + " in:\n" + out);
    }
  }

  private static Path loadedFrom(String out, String name) {
    for (String line : out.split("\n")) {
      if (line.startsWith(name + " from ")) {
        return Path.of(line.substring(name.length() + 6));
      }
    }
    throw new AssertionError("no " + name + " in:\n" + out);
  }

  private static String run(Path tmp, Path cache, String... options) throws Exception {
    String out = runExpecting(0, tmp, cache, options);
    assertTrue(out.startsWith(OK), out);
    return out;
  }

  /**
   * Runs {@link LoaderProbe}; the output (stderr included) goes to ours too, for CTest's checks.
   */
  private static String runExpecting(int exit, Path tmp, Path cache, String... options)
      throws IOException, InterruptedException {
    List<String> cmd = new ArrayList<>();
    cmd.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    cmd.add("-Xcheck:jni");
    cmd.add("-Djava.io.tmpdir=" + tmp);
    cmd.addAll(List.of(options));
    cmd.addAll(
        List.of("-cp", System.getProperty("velto.test.classpath"), LoaderProbe.class.getName()));
    ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
    pb.environment().remove("LD_LIBRARY_PATH");
    pb.environment().put("XDG_CACHE_HOME", cache.toString());
    Process p = pb.start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    System.out.print(out);
    assertTrue(p.waitFor(60, TimeUnit.SECONDS), "the child JVM ended");
    assertEquals(exit, p.exitValue(), out);
    assertNotEquals("", out);
    return out;
  }
}
