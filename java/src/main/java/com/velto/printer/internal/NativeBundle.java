package com.velto.printer.internal;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.security.DigestInputStream;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;

/**
 * The natives of one library for one platform inside a jar, as the build lists them in {@code
 * com/velto/printer/natives/<platform>/<name>.list}: a header line "# <name> <version> <platform>"
 * and one line "<sha-256> <size> <file>" per file, dependencies first, the library itself last.
 */
final class NativeBundle {
  static final String ROOT = "/com/velto/printer/natives/";

  private final Class<?> anchor;
  private final String folder;
  private final List<String[]> files = new ArrayList<>();
  private final String key;

  private NativeBundle(Class<?> anchor, String folder, byte[] list) throws IOException {
    this.anchor = anchor;
    this.folder = folder;
    String[] lines = new String(list, StandardCharsets.UTF_8).split("\n");
    String[] header = lines[0].split(" ");
    if (header.length < 4 || !header[0].equals("#")) {
      throw new IOException("malformed list " + folder);
    }
    for (int i = 1; i < lines.length; i++) {
      String[] f = lines[i].trim().split(" ");
      if (f.length == 3) {
        files.add(f);
      }
    }
    if (files.isEmpty()) {
      throw new IOException("empty list " + folder);
    }
    key = header[1] + "-" + header[2] + "-" + hex(sha256().digest(list)).substring(0, 16);
  }

  /** The bundle of {@code name} for {@code platform} next to {@code anchor}, or null if none. */
  static NativeBundle find(Class<?> anchor, String name, String platform) throws IOException {
    String folder = ROOT + platform + "/";
    try (InputStream in = anchor.getResourceAsStream(folder + name + ".list")) {
      return in == null ? null : new NativeBundle(anchor, folder, in.readAllBytes());
    }
  }

  /** Where the list lives in the jar. */
  static String listPath(String name, String platform) {
    return ROOT.substring(1) + platform + "/" + name + ".list";
  }

  /** "<name>-<version>-<hash of the list>": one folder per content, shared by every JVM. */
  String key() {
    return key;
  }

  /**
   * Puts the files into {@code dir}, keeping those already there with the right content, and
   * returns the library to load. Each file is written under a temporary name and renamed, so a
   * JVM starting at the same time sees either no file or a whole one.
   */
  Path extractTo(Path dir) throws IOException {
    Files.createDirectories(dir);
    for (String[] f : files) {
      Path target = dir.resolve(f[2]);
      if (matches(target, f)) {
        continue;
      }
      Path part = Files.createTempFile(dir, f[2] + ".", ".part");
      try {
        MessageDigest md = sha256();
        try (InputStream in = anchor.getResourceAsStream(folder + f[2])) {
          if (in == null) {
            throw new IOException("the jar lacks " + folder + f[2]);
          }
          Files.copy(new DigestInputStream(in, md), part, StandardCopyOption.REPLACE_EXISTING);
        }
        if (!hex(md.digest()).equals(f[0])) {
          throw new IOException("the jar's " + folder + f[2] + " does not match its list");
        }
        move(part, target, f);
      } finally {
        Files.deleteIfExists(part);
      }
    }
    return dir.resolve(files.get(files.size() - 1)[2]);
  }

  private static void move(Path part, Path target, String[] f) throws IOException {
    try {
      Files.move(part, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
    } catch (IOException e) {
      // Windows refuses to replace a DLL that another JVM has loaded: that one will do if whole.
      if (!matches(target, f)) {
        throw e;
      }
    }
  }

  /** Whether {@code file} is whole and nobody but its folder's owner can change it. */
  private static boolean matches(Path file, String[] f) throws IOException {
    if (!Files.isRegularFile(file) || Files.size(file) != Long.parseLong(f[1])
        || CacheFolder.othersCanChange(file, CacheFolder.ownerOf(file.getParent())) != null) {
      return false;
    }
    MessageDigest md = sha256();
    try (InputStream in = new DigestInputStream(Files.newInputStream(file), md)) {
      in.transferTo(OutputStream.nullOutputStream());
    }
    return hex(md.digest()).equals(f[0]);
  }

  private static MessageDigest sha256() {
    try {
      return MessageDigest.getInstance("SHA-256");
    } catch (NoSuchAlgorithmException e) {
      throw new IllegalStateException("every JVM has SHA-256", e);
    }
  }

  private static String hex(byte[] b) {
    return HexFormat.of().formatHex(b);
  }
}
