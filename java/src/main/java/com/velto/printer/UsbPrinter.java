package com.velto.printer;

import com.velto.printer.internal.PrinterSession;
import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.io.OutputStream;
import java.nio.channels.AsynchronousCloseException;
import java.nio.channels.ClosedChannelException;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Objects;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.LongConsumer;

/**
 * A USB printer, for a Java printer driver: list the printers, open one or several, write bytes,
 * read their replies with a time-out, close them.
 *
 * <pre>{@code
 * for (PrinterInfo p : UsbPrinter.list()) {
 *   System.out.println(p);                  // usb:0dd4:0195/A1B2C3 ... (printer class, at 1-1.2)
 * }
 * try (UsbPrinter receipts = UsbPrinter.open("usb:0dd4:0195/A1B2C3");
 *     UsbPrinter kitchen = UsbPrinter.open("usb:0dd4:0195@1-1.3")) {
 *   receipts.write(receipt);
 *   kitchen.write(ticket);
 *   int n = receipts.read(reply, Duration.ofSeconds(2));   // 0: nothing came in time
 * }
 * }</pre>
 *
 * <p>Both USB types behave alike: a write returns once the printer has taken all of it, within its
 * time-out ({@link #writeTimeout()}, 30 seconds until set), and otherwise throws with the count the
 * printer took; a read waits up to its time-out and returns the bytes that came, 0 when none did;
 * every failure is an exception, {@link UsbIOException} with the Windows error code and the
 * system's text. An interrupt of the thread ends a write or read that waits with {@link
 * InterruptedIOException}. Reads wait in steps of 100 ms: on the vendor's native driver ({@link
 * Type#NATIVE}) each step sets the driver's read time-outs; on a USB printer class printer ({@link
 * Type#PRINTER_CLASS}) the library's receiver buffers what the printer sends.
 *
 * <p>Unplugged or switched off, the printer makes reads and writes throw {@link
 * PrinterDisconnectedException}, and {@link #isConnected()} answers false. Once it is back the same
 * object works again: the printer class's receiver finds it by itself, and on the native type the
 * next read, write or {@link #isConnected()} opens it again.
 *
 * <p>Several printers at once: each open printer has its own session in the library (handles,
 * receiver, buffer), so closing, unplugging or replugging one never touches another. A printer is
 * open at most once per process: opening it again while it is open throws {@link
 * IllegalStateException}.
 *
 * <p>Threads: one thread may read (through {@link #read} or {@link #inputStream()}) while any
 * number of threads write; a second reader waits for the first. {@link #close()} may come from any
 * thread: a read that waits in another thread then ends with {@link AsynchronousCloseException},
 * and every later call throws {@link ClosedChannelException}.
 */
public final class UsbPrinter implements AutoCloseable {
  /** The USB type of the printer, which decides how the library reads it. */
  public enum Type {
    /** Found through the vendor's native driver: synchronous reads under the driver's time-outs. */
    NATIVE,
    /** A USB printer class printer: the library's receiver thread reads it all the time. */
    PRINTER_CLASS
  }

  private static final int MAXDWORD = -1;
  private static final Duration STREAM_STEP = Duration.ofMillis(100);
  // A write goes out in requests of this size, so that one cut short is resumed where it stopped.
  private static final int WRITE_PIECE = 64 * 1024;
  // How long a close waits for the calls in flight to leave, and an open for a closing printer.
  private static final long CLOSE_BOUND_NANOS = TimeUnit.SECONDS.toNanos(3);
  // A purge ends only the read in flight: a reader that had yet to start its read is purged again.
  private static final long PURGE_ROUND_NANOS = TimeUnit.MILLISECONDS.toNanos(50);
  private static final int GENERIC_READ = 0x80000000;
  private static final int GENERIC_WRITE = 0x40000000;
  private static final Object OPEN_LOCK = new Object();
  // Guarded by OPEN_LOCK; a printer stays until its close has released all. By interface path.
  private static final Map<String, UsbPrinter> OPEN = new HashMap<>();

  private final PrinterSession port;
  private final PrinterInfo info;
  private final Type type;
  private final InputStream input = new PrinterInputStream(this);
  private final OutputStream output = new PrinterOutputStream(this);
  private final ReentrantLock readerLock = new ReentrantLock();
  private final ReentrantLock writerLock = new ReentrantLock();
  // Held only for bookkeeping, never across a native that can wait.
  private final Object lock = new Object();
  // Guarded by lock. A reopen (native type) replaces the handles and counts up the generation; a
  // handle is taken out of its field before it is closed, so that one thread alone closes it.
  private int readHandle;
  private int writeHandle;
  private int generation;
  private boolean stale;
  private boolean reopening;
  // Calls between begin() and end(): they may still pass the handles to a native. The handles are
  // closed, and another printer opened, only once none is left.
  private int calls;
  private boolean readerInside;
  private boolean handedOver; // the close gave up waiting: the last call out releases
  private boolean released;
  private volatile boolean closed;
  private volatile Duration writeTimeout = Duration.ofSeconds(30);
  // The native driver's read time-out as the reader last set it (reader only).
  private int timeoutMs = -1;
  private int timeoutGeneration = -1;

  /** The handles one call works with, and which opening of the printer they belong to. */
  private record Use(int read, int write, int generation) {}

  private UsbPrinter(PrinterSession port, PrinterInfo info, Type type) {
    this.port = port;
    this.info = info;
    this.type = type;
    this.readHandle = port.hReadPort;
    this.writeHandle = port.hWritePort;
  }

  /**
   * Every printer the library can reach, in both interface classes, with its identity; the
   * printers the library's table does not accept too. Opens nothing and sends the printers
   * nothing.
   *
   * @throws UnsatisfiedLinkError when the native library cannot be loaded
   */
  public static List<PrinterInfo> list() {
    return PrinterInfo.listAll();
  }

  /**
   * Hears printers the library can reach come and go from now on (those attached already are not
   * announced: {@link #list()} them). The library lists the printers every 250 ms while a listener
   * is registered and tells each listener what changed, on a thread of that listener's own and in
   * order: a listener that blocks delays only its own later events, and one that throws is logged
   * and keeps hearing. Closing the result removes the listener; removing the last one ends the
   * listing before {@code close()} returns.
   */
  public static PrinterListener.Registration addListener(PrinterListener listener) {
    return PrinterWatcher.add(Objects.requireNonNull(listener, "listener"));
  }

  /**
   * Opens the first printer the library's table accepts: the vendor's native driver's first, then
   * the USB printer class's; one that cannot be opened is passed over for the next. While that
   * printer, closed in another thread, still has a call in the library, waits a few seconds for it
   * to leave.
   *
   * @throws PrinterNotFoundException when no printer the library knows is connected
   * @throws UsbIOException when the printer is there but cannot be opened
   * @throws IllegalStateException when that printer is open already in this process, or a closed
   *     one still has a read or write in the library that its close could not end
   * @throws UnsatisfiedLinkError when the native library cannot be loaded (the message lists where
   *     it was looked for)
   */
  public static UsbPrinter open() throws IOException {
    IOException first = null;
    for (PrinterInfo p : list()) {
      if (!p.accepted()) {
        continue;
      }
      try {
        return open(p);
      } catch (PrinterNotFoundException e) {
        // gone since the listing: the next one
      } catch (UsbIOException e) {
        first = first != null ? first : e;
      }
    }
    if (first != null) {
      throw first;
    }
    throw new PrinterNotFoundException(
        "no printer found among the devices of the vendor's native driver and of the USB printer"
            + " class");
  }

  /**
   * Opens the printer with this {@link PrinterInfo#id()} (as written in a configuration file). A
   * printer the library's table does not accept is opened too, since it is named explicitly.
   *
   * @throws PrinterNotFoundException when no attached printer has the id (the message lists those
   *     that are attached)
   * @throws AmbiguousPrinterException when several have it (a serial number two printers of the
   *     same model share): open one of its candidates by its own id
   * @throws IllegalArgumentException when {@code id} is not of the form {@code usb:VVVV:PPPP/SERIAL}
   *     or {@code usb:VVVV:PPPP@LOCATION}
   * @throws UsbIOException when the printer is there but cannot be opened
   * @throws IllegalStateException when that printer is open already in this process
   */
  public static UsbPrinter open(String id) throws IOException {
    Objects.requireNonNull(id, "id");
    if (!id.matches("(?i)usb:[0-9a-f]{4}:[0-9a-f]{4}[/@].+")) {
      throw new IllegalArgumentException(
          "not a printer id: \"" + id + "\" (usb:VVVV:PPPP/SERIAL or usb:VVVV:PPPP@LOCATION)");
    }
    List<PrinterInfo> all = list();
    List<PrinterInfo> found = new ArrayList<>();
    for (PrinterInfo p : all) {
      if ((p.serialNumber().isPresent() && sameId(id, p.idBySerial()))
          || sameId(id, p.idByLocation())) {
        found.add(p);
      }
    }
    if (found.size() > 1) {
      throw new AmbiguousPrinterException(
          "several printers have the id " + id + ": " + describe(found), found);
    }
    if (found.isEmpty()) {
      throw new PrinterNotFoundException(
          "no printer with the id "
              + id
              + " is attached; "
              + (all.isEmpty() ? "no printer is attached" : "attached: " + describe(all)));
    }
    return open(found.get(0));
  }

  /**
   * Opens a printer {@link #list()} gave, whether or not the library's table accepts it.
   *
   * @throws PrinterNotFoundException when the printer is no longer attached
   * @throws UsbIOException when the printer is there but cannot be opened
   * @throws IllegalStateException when that printer is open already in this process, or a closed
   *     one still has a read or write in the library that its close could not end
   */
  public static UsbPrinter open(PrinterInfo printer) throws IOException {
    Objects.requireNonNull(printer, "printer");
    String key = printer.interfacePath().toLowerCase(Locale.ROOT);
    synchronized (OPEN_LOCK) {
      awaitRelease(key);
      int usbType =
          printer.type() == Type.NATIVE ? UsbPort.USB_TYPE_NATIVE : UsbPort.USB_TYPE_PRINTER_CLASS;
      PrinterSession port = PrinterSession.open(printer.interfacePath(), usbType);
      if (port == null) {
        int code = lastError();
        throw new UsbIOException(code, WinErrors.text(code));
      }
      UsbPrinter opened;
      try {
        opened = new UsbPrinter(port, printer, openPipes(port, true));
      } catch (IOException | RuntimeException e) {
        port.free();
        throw e;
      }
      OPEN.put(key, opened);
      return opened;
    }
  }

  /** The hex digits of an id compare in any case, serial numbers and locations exactly. */
  private static boolean sameId(String a, String b) {
    int model = "usb:vvvv:pppp".length();
    return a.regionMatches(true, 0, b, 0, model + 1) && a.substring(model + 1).equals(b.substring(model + 1));
  }

  private static String describe(List<PrinterInfo> printers) {
    List<String> lines = new ArrayList<>();
    for (PrinterInfo p : printers) {
      lines.add(p.toString());
    }
    return String.join("; ", lines);
  }

  /** Waits, with OPEN_LOCK held, until a closed printer at {@code key} has released its handles. */
  private static void awaitRelease(String key) throws IOException {
    long deadline = System.nanoTime() + CLOSE_BOUND_NANOS;
    UsbPrinter current;
    while ((current = OPEN.get(key)) != null && current.closed) {
      long left = deadline - System.nanoTime();
      if (left <= 0) {
        throw new IllegalStateException(
            "the UsbPrinter closed before still has a read or write in the library that its close"
            + " could not end");
      }
      try {
        TimeUnit.NANOSECONDS.timedWait(OPEN_LOCK, left);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        throw new InterruptedIOException("interrupted while the printer closed before finished");
      }
    }
    if (current != null) {
      throw new IllegalStateException(
          "this printer is open already in this process (" + current.info.id() + "): close it"
              + " first");
    }
  }

  /** Opens both pipes into {@code port}'s fields; on failure nothing stays open. */
  private static Type openPipes(PrinterSession port, boolean first) throws IOException {
    int type = port.initPipe(GENERIC_READ);
    if (type != UsbPort.USB_TYPE_NATIVE && type != UsbPort.USB_TYPE_PRINTER_CLASS) {
      throw openFailure(lastError(), first);
    }
    int typeWrite = port.initPipe(GENERIC_WRITE);
    if (typeWrite != type) {
      int code = lastError();
      port.closePipe(port.hReadPort); // printer class: ends the session and both pipes
      if (type == UsbPort.USB_TYPE_NATIVE && typeWrite < 0) {
        port.closePipe(-1); // the failed write open stays stored until this
      }
      throw openFailure(code, first);
    }
    if (type == UsbPort.USB_TYPE_PRINTER_CLASS) {
      return Type.PRINTER_CLASS;
    }
    // No write time-out from the start; each read sets its own read time-outs.
    port.setCommTimeout(port.hReadPort, MAXDWORD, 0, 0);
    return Type.NATIVE;
  }

  private static IOException openFailure(int code, boolean first) {
    if (WinErrors.notFound(code) || (!first && WinErrors.gone(code))) {
      return first
          ? new PrinterNotFoundException("the printer is not attached")
          : disconnected(WinErrors.gone(code) ? code : 1167);
    }
    return new UsbIOException(code, WinErrors.text(code));
  }

  private static PrinterDisconnectedException disconnected(int code) {
    return new PrinterDisconnectedException(code, WinErrors.text(code));
  }

  private static int lastError() {
    return com.velto.printer.internal.NativePrinters.lastError();
  }

  /** The USB type the library found the printer under. */
  public Type type() {
    return type;
  }

  /** The printer this object opened, as {@link #list()} found it then. */
  public PrinterInfo info() {
    return info;
  }

  /**
   * Writes all of {@code data} within {@link #writeTimeout()}, as {@link #write(byte[], Duration,
   * LongConsumer)} does.
   */
  public void write(byte[] data) throws IOException {
    write(data, writeTimeout, null);
  }

  /**
   * Writes all of {@code data} within {@code timeout}, as {@link #write(byte[], Duration,
   * LongConsumer)} does.
   */
  public void write(byte[] data, Duration timeout) throws IOException {
    write(data, timeout, null);
  }

  /**
   * Writes all of {@code data} and returns when the printer has taken it, or throws. The bytes go
   * out in pieces of 64 KiB, one request each; a piece cut short is not sent again: the next
   * request starts at the first byte the printer did not take. One write's bytes are not mixed
   * with another thread's: a second writer waits (within its own time-out) until the first is
   * done.
   *
   * @param timeout how long the whole write may take; a printer that takes nothing (offline, out of
   *     paper) makes it throw {@link WriteTimeoutException} once that has passed
   * @param progress told, after each request that took bytes, how many bytes of {@code data} the
   *     printer has taken in all; null for none
   * @throws WriteTimeoutException when the time-out passed, or the driver ended a request short,
   *     before the printer took all: {@code bytesTransferred} is how many bytes it took
   * @throws InterruptedIOException when the writing thread was interrupted while the printer took
   *     nothing (the interrupt stays set), with {@code bytesTransferred} as above
   * @throws PrinterDisconnectedException when the printer is gone
   * @throws UsbIOException when the write fails otherwise (its {@link
   *     UsbIOException#bytesTransferred()} says how much went out first)
   * @throws ClosedChannelException when the printer is closed ({@link AsynchronousCloseException}
   *     when a close came during the write)
   */
  public void write(byte[] data, Duration timeout, LongConsumer progress) throws IOException {
    Objects.requireNonNull(data, "data");
    long start = System.nanoTime();
    long limit = nanos(checkTimeout(timeout));
    // The pieces of one write stay together: another thread's write waits for the whole of it.
    try {
      while (!writerLock.tryLock(PURGE_ROUND_NANOS, TimeUnit.NANOSECONDS)) {
        if (closed) {
          throw new Closed(info); // the other write may stay stuck: this one need not wait
        }
        if (System.nanoTime() - start >= limit) {
          throw new WriteTimeoutException(
              "another thread's write held the printer for the whole time-out, " + timeout, 0);
        }
      }
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      throw interruptedWrite(0);
    }
    try {
      writePieces(data, timeout, progress, start, limit);
    } finally {
      writerLock.unlock();
    }
  }

  private void writePieces(
      byte[] data, Duration timeout, LongConsumer progress, long start, long limit)
      throws IOException {
    int done = 0;
    boolean reopened = false;
    for (boolean later = false; ; later = true) {
      if (done > 0 && Thread.currentThread().isInterrupted()) {
        throw interruptedWrite(done);
      }
      int length = Math.min(WRITE_PIECE, data.length - done);
      int ms = millisLeft(start, limit);
      Use use = begin(false, later);
      int n;
      int code = 0;
      try {
        if (length == 0) {
          return;
        }
        n = port.writeTimed(use.write(), data, done, length, ms);
        if (n != length) {
          code = lastError();
        }
      } finally {
        end(false);
      }
      if (n > 0) {
        done += n;
        if (progress != null) {
          progress.accept(done);
        }
      }
      if (n == length) {
        if (done == data.length) {
          return;
        }
      } else if (n >= 0 || !replaced(use)) { // a stale handle's failure: again on the new one
        IOException e = writeFailure(n >= 0, code, use, done, data.length, timeout);
        // A native-type printer unplugged and plugged in again while idle: its old handles are
        // dead but nothing was taken, so the next begin() opens it again and the piece goes on.
        if (n < 0 && type == Type.NATIVE && !reopened && e instanceof PrinterDisconnectedException) {
          reopened = true;
          continue;
        }
        throw e;
      }
    }
  }

  /** How a write the printer did not take in full ends; {@code cut}: the native gave a count. */
  private IOException writeFailure(
      boolean cut, int code, Use use, int done, int total, Duration timeout) {
    if (closed) {
      return new ClosedDuring(info);
    }
    if (code == WinErrors.ERROR_OPERATION_ABORTED && Thread.currentThread().isInterrupted()) {
      return interruptedWrite(done);
    }
    if (code == WinErrors.WAIT_TIMEOUT || (cut && code == WinErrors.ERROR_SUCCESS)) {
      String why =
          code == WinErrors.WAIT_TIMEOUT ? " within " + timeout : ": the driver ended it short";
      return new WriteTimeoutException(
          "the printer took " + done + " of " + total + " bytes" + why, done);
    }
    IOException e = failure(code, use);
    return e instanceof UsbIOException u ? u.withBytesTransferred(done) : e;
  }

  private static InterruptedIOException interruptedWrite(int done) {
    InterruptedIOException e =
        new InterruptedIOException("interrupted while writing to the printer");
    e.bytesTransferred = done;
    return e;
  }

  /**
   * The time-out of {@link #write(byte[])} and of {@link #outputStream()}'s writes: how long a
   * write may wait for a printer that takes nothing before it throws {@link
   * WriteTimeoutException}. 30 seconds until set.
   */
  public Duration writeTimeout() {
    return writeTimeout;
  }

  /** Sets {@link #writeTimeout()}; it applies to the writes that start from now on. */
  public void setWriteTimeout(Duration timeout) {
    writeTimeout = checkTimeout(timeout);
  }

  private static Duration checkTimeout(Duration timeout) {
    Objects.requireNonNull(timeout, "timeout");
    if (timeout.isNegative()) {
      throw new IllegalArgumentException("negative timeout " + timeout);
    }
    return timeout;
  }

  /**
   * Reads what the printer sends into {@code buffer}, from index 0: waits until at least one byte
   * came or {@code timeout} passed, and returns at once with the bytes there are.
   *
   * @param timeout how long to wait; zero takes only what has come already (on a printer-class
   *     printer a read waits in steps of 100 ms, so it may take that long)
   * @return the number of bytes read, 0 when none came in time
   * @throws PrinterDisconnectedException when the printer is gone
   * @throws UsbIOException when the read fails otherwise, for example once the library's receiver
   *     of a printer-class printer has stopped
   * @throws ClosedChannelException when the printer is closed ({@link AsynchronousCloseException}
   *     when a close from another thread ended the read)
   * @throws InterruptedIOException when the thread is interrupted while the read waits (it looks
   *     every 100 ms; the interrupt stays set)
   */
  public int read(byte[] buffer, Duration timeout) throws IOException {
    Objects.requireNonNull(buffer, "buffer");
    Objects.requireNonNull(timeout, "timeout");
    if (timeout.isNegative()) {
      throw new IllegalArgumentException("negative timeout " + timeout);
    }
    readerLock.lock();
    try {
      if (buffer.length == 0) {
        begin(false);
        end(false);
        return 0;
      }
      return readInSteps(buffer, timeout);
    } finally {
      readerLock.unlock();
    }
  }

  /** Read time-outs for "what has come, else the first bytes within ms", as a serial driver has. */
  private void setReadTimeout(Use use, int ms) throws IOException {
    if (ms == timeoutMs && use.generation() == timeoutGeneration) {
      return;
    }
    int rc =
        ms == 0
            ? port.setCommTimeout(use.read(), MAXDWORD, 0, 0)
            : port.setCommTimeout(use.read(), MAXDWORD, MAXDWORD, ms);
    // The result is the thread's last error, which the library does not clear first: a code left
    // from an earlier call counts only if the driver did not take the new time-out.
    if (rc != 0 && port.getCommTimeout(use.read()) != ms) {
      throw failure(rc, use);
    }
    timeoutMs = ms;
    timeoutGeneration = use.generation();
  }

  /**
   * Reads in steps of at most 100 ms, so that an interrupt is seen: on the native type each step is
   * one read under the driver's time-outs, on a printer-class printer one wait for the receiver.
   */
  private int readInSteps(byte[] buffer, Duration timeout) throws IOException {
    long start = System.nanoTime();
    long limit = nanos(timeout);
    long step = STREAM_STEP.toNanos();
    for (boolean later = false; ; later = true) {
      long stepStart = System.nanoTime();
      Use use = begin(true, later);
      int n;
      int code = 0;
      try {
        if (type == Type.NATIVE) {
          setReadTimeout(use, Math.min(millisLeft(start, limit), (int) STREAM_STEP.toMillis()));
        }
        n = port.read(use.read(), buffer);
        if (n < 0) {
          code = lastError();
        }
      } finally {
        end(true);
      }
      if (n > 0) {
        return n;
      }
      if (closed) {
        throw new ClosedDuring(info);
      }
      if (n < 0 && code != WinErrors.WAIT_TIMEOUT) {
        if (replaced(use)) {
          continue;
        }
        throw failure(code, use); // a receiver that has stopped fails every read at once
      }
      long now = System.nanoTime();
      if (now - start >= limit) {
        return 0;
      }
      if (Thread.currentThread().isInterrupted()) {
        throw new InterruptedIOException("interrupted while waiting for the printer");
      }
      // A step that came back early must not turn this loop into a spin.
      pause(Math.min(step - (now - stepStart), limit - (now - start)));
    }
  }

  /** Waits up to {@code nanos} unless the printer is closed meanwhile. */
  private void pause(long nanos) throws IOException {
    long until = System.nanoTime() + nanos;
    synchronized (lock) {
      for (long left = nanos; left > 0 && !closed; left = until - System.nanoTime()) {
        try {
          TimeUnit.NANOSECONDS.timedWait(lock, left);
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
          throw new InterruptedIOException("interrupted while waiting for the printer");
        }
      }
    }
    if (closed) {
      throw new ClosedDuring(info);
    }
  }

  /**
   * A stream of what the printer sends: a read blocks until bytes come, and ends with {@link
   * java.io.InterruptedIOException} when its thread is interrupted (the interrupt stays set) and
   * with an {@link IOException} when the printer is closed or gone. Closing the stream closes the
   * printer. The same stream each time.
   */
  public InputStream inputStream() {
    return input;
  }

  /**
   * A stream to the printer: each write goes to the printer at once, as {@link #write(byte[])}
   * does; wrap it in a {@link java.io.BufferedOutputStream} to send fewer, larger requests. Closing
   * the stream closes the printer. The same stream each time.
   */
  public OutputStream outputStream() {
    return output;
  }

  /**
   * Whether the printer is there now: the system lists it (an unplugged or switched-off printer
   * answers false at once, even while no call is made) and, on the native type, the library could
   * open it again if it had been gone. False once closed.
   */
  public boolean isConnected() {
    if (closed) {
      return false;
    }
    if (!list().contains(info)) {
      return false;
    }
    if (type == Type.NATIVE) {
      try {
        begin(false); // opens a printer found gone again
        end(false);
      } catch (IOException e) {
        return false;
      }
    }
    return true;
  }

  // ---- The USB printer class requests ----

  // The longest device id asked for, prefix included: longer requests make some printers fail.
  private static final int DEVICE_ID_ROOM = 4094;
  private static final int ERROR_GEN_FAILURE = 31;

  /**
   * Asks the printer for its status byte now (a USB printer class request; nothing is cached, and
   * listing or opening never sends it). Goes beside a read or write in another thread.
   *
   * @throws UnsupportedOperationException on a printer of the vendor's native driver ({@link
   *     Type#NATIVE}), which knows no such request; nothing is sent then
   * @throws PrinterDisconnectedException when the printer is gone
   * @throws UsbIOException when the printer did not answer, or the request failed otherwise
   * @throws ClosedChannelException when the printer is closed
   */
  public PortStatus portStatus() throws IOException {
    return new PortStatus(classRequest("status", use -> port.portStatus(use.write())));
  }

  /**
   * Asks the printer for its IEEE 1284 device id now (a USB printer class request; nothing is
   * cached, and listing or opening never sends it). The id is taken as the printer sends it: up to
   * what its length prefix counts, or what came when the prefix claims more or less than that, and
   * up to a NUL.
   *
   * @throws UnsupportedOperationException on a printer of the vendor's native driver ({@link
   *     Type#NATIVE}), which knows no such request; nothing is sent then
   * @throws PrinterDisconnectedException when the printer is gone
   * @throws UsbIOException when the printer did not answer (or sent less than a length prefix), or
   *     the request failed otherwise
   * @throws ClosedChannelException when the printer is closed
   */
  public DeviceId deviceId() throws IOException {
    byte[] text = new byte[DEVICE_ID_ROOM];
    int n = classRequest("device id", use -> port.deviceId(use.write(), text));
    return DeviceId.of(text, n);
  }

  /**
   * One printer class request: its result, never a made-up one. A printer that stalls the request
   * and one that is gone can both make Windows answer {@code ERROR_GEN_FAILURE} (31): that reads
   * as no answer, since the reads and writes tell a gone printer.
   */
  private int classRequest(String what, java.util.function.ToIntFunction<Use> request)
      throws IOException {
    if (type == Type.NATIVE) {
      throw new UnsupportedOperationException(
          "the "
              + what
              + " request belongs to the USB printer class: a printer of the vendor's native"
              + " driver does not answer it");
    }
    Use use = begin(false);
    int rc;
    int code = 0;
    try {
      rc = request.applyAsInt(use);
      if (rc < 0) {
        code = lastError();
      }
    } finally {
      end(false);
    }
    if (rc >= 0) {
      return rc;
    }
    if (code == ERROR_GEN_FAILURE && !closed) {
      throw new UsbIOException(
          code, "the printer did not answer the " + what + " request: " + WinErrors.text(code));
    }
    throw failure(code, use);
  }

  /**
   * Closes the printer, ending a read that waits in another thread and writes that wait for the
   * printer: they throw {@link AsynchronousCloseException}. Returns once no call of this printer is
   * in the library any more, within a few seconds whatever the read time-out; only then may {@link
   * #open()} open the printer again. Closing again does nothing.
   *
   * @throws UsbIOException when the library reports a failed close, or when a read or write in
   *     another thread could not be ended: the printer counts as closed all the same, and is
   *     released once that call has returned
   */
  @Override
  public void close() throws IOException {
    boolean gone;
    synchronized (lock) {
      if (closed) {
        return;
      }
      closed = true;
      gone = stale;
      calls++; // the close itself, until it releases or hands over
      lock.notifyAll();
    }
    int rc = endCalls(true);
    boolean last;
    synchronized (lock) {
      calls--;
      last = calls == 0;
      released = last;
      handedOver = !last;
    }
    if (!last) {
      throw new UsbIOException(rc, WinErrors.text(rc));
    }
    rc = release();
    if (rc != 0 && !gone) { // the handles of a printer that went away may fail to close
      throw new UsbIOException(rc, WinErrors.text(rc));
    }
  }

  /**
   * Ends the calls in flight and waits, within the bound, until only the caller's own is left: the
   * close of the write pipe ends blocked writes (native type), the printer-class close ends the
   * session, and a purge ends a native read (again while a reader has yet to start its read).
   * Without the lock.
   *
   * @return 0 once only the caller is left; else what kept a call from ending, {@code WAIT_TIMEOUT}
   *     when nothing said
   */
  private int endCalls(boolean closing) {
    long deadline = System.nanoTime() + CLOSE_BOUND_NANOS;
    int rc = closePipe(type == Type.PRINTER_CLASS);
    boolean purge = type == Type.NATIVE;
    boolean interrupted = false;
    try {
      while (true) {
        int handle;
        synchronized (lock) {
          if (calls == 1) {
            return 0;
          }
          handle = purge && readerInside ? readHandle : 0;
        }
        if (handle != 0) {
          int rcPurge = port.purge(handle);
          if (rcPurge != 0) { // the read cannot be ended: it may still return by itself
            purge = false;
            rc = rc != 0 ? rc : rcPurge;
          }
        }
        synchronized (lock) {
          long left = deadline - System.nanoTime();
          if (calls == 1) {
            return 0;
          }
          if (left <= 0 || (closed && !closing)) { // a reopen gives way to a close
            return rc != 0 ? rc : WinErrors.WAIT_TIMEOUT;
          }
          interrupted |= waitNanos(Math.min(PURGE_ROUND_NANOS, left));
        }
      }
    } finally {
      if (interrupted) {
        Thread.currentThread().interrupt();
      }
    }
  }

  /**
   * Closes the handles still open and lets {@link #open()} go on. Runs once, when no call of the
   * closed printer is left.
   */
  private int release() {
    try {
      int rc = closePipe(true);
      int rcWrite = type == Type.NATIVE ? closePipe(false) : 0;
      return rc != 0 ? rc : rcWrite;
    } finally {
      port.free(); // kept by the library while a handle could not be closed
      synchronized (OPEN_LOCK) {
        OPEN.remove(info.interfacePath().toLowerCase(Locale.ROOT), this);
        OPEN_LOCK.notifyAll();
      }
    }
  }

  /**
   * Closes one pipe, unless another thread has taken it to close; the printer-class close ends the
   * session with both pipes. A pipe that the library could not close is put back, to be closed
   * again later.
   */
  private int closePipe(boolean read) {
    int handle;
    synchronized (lock) {
      handle = read ? readHandle : writeHandle;
      if (handle == 0) {
        return 0;
      }
      setHandle(read, 0);
    }
    int rc = port.closePipe(handle);
    if (rc != 0) {
      synchronized (lock) {
        if ((read ? readHandle : writeHandle) == 0) {
          setHandle(read, handle);
        }
      }
    }
    return rc;
  }

  private void setHandle(boolean read, int handle) {
    if (read) {
      readHandle = handle;
    } else {
      writeHandle = handle;
    }
  }

  /**
   * Waits on the lock, which the caller holds. True when interrupted: the caller sets the flag
   * again once it stops waiting, so that the next wait does not end at once.
   */
  private boolean waitNanos(long nanos) {
    try {
      TimeUnit.NANOSECONDS.timedWait(lock, nanos);
      return false;
    } catch (InterruptedException e) {
      return true;
    }
  }

  /**
   * Counts a call in until {@link #end}: checks the printer is open, opens it again first if it was
   * gone (native type), and marks a read.
   */
  private Use begin(boolean reading) throws IOException {
    while (true) {
      synchronized (lock) {
        boolean interrupted = false;
        while (reopening && !closed) {
          interrupted |= waitNanos(PURGE_ROUND_NANOS);
        }
        if (interrupted) {
          Thread.currentThread().interrupt();
        }
        if (closed) {
          throw new Closed(info);
        }
        calls++;
        if (!stale) {
          readerInside |= reading;
          return new Use(readHandle, writeHandle, generation);
        }
        reopening = true;
      }
      try {
        reopen();
      } finally {
        synchronized (lock) {
          reopening = false;
        }
        end(false);
      }
    }
  }

  /** As {@link #begin(boolean)}; for a later step of a call, a close since its start ended it. */
  private Use begin(boolean reading, boolean later) throws IOException {
    try {
      return begin(reading);
    } catch (ClosedChannelException e) {
      throw later ? new ClosedDuring(info) : e;
    }
  }

  /** The call has left the library; the last one out after a close that gave up releases. */
  private void end(boolean reading) {
    boolean last;
    synchronized (lock) {
      calls--;
      readerInside &= !reading;
      lock.notifyAll();
      last = calls == 0 && handedOver && !released;
      released |= last;
    }
    if (last) {
      release();
    }
  }

  /** Whether a reopen replaced the handles {@code use} worked with: then its failure is stale. */
  private boolean replaced(Use use) {
    synchronized (lock) {
      return !closed && use.generation() != generation;
    }
  }

  /** The exception for a failed call; a printer found gone makes the native type reopen next. */
  private IOException failure(int code, Use use) {
    if (closed) {
      return new ClosedDuring(info);
    }
    if (code == WinErrors.ERROR_SUCCESS) {
      return new UsbIOException(code, "the library reported a failure without an error code");
    }
    // Access denied is what some drivers answer for a printer being removed; while the system
    // still lists the printer it is a refusal, not an absence.
    if (!WinErrors.gone(code) || (code == WinErrors.ERROR_ACCESS_DENIED && list().contains(info))) {
      return new UsbIOException(code, WinErrors.text(code));
    }
    if (type == Type.NATIVE) {
      synchronized (lock) {
        stale |= use.generation() == generation;
      }
    }
    return disconnected(code);
  }

  /**
   * Opens a native-type printer again after it was gone, as a call of its own: the calls still on
   * the old handles are ended and have left before those are closed, since Windows may hand their
   * values to the new ones at once.
   */
  private void reopen() throws IOException {
    int rc = endCalls(false);
    if (closed) {
      throw new ClosedDuring(info);
    }
    if (rc != 0) {
      throw disconnected(1167);
    }
    // The handles of a printer that went away may fail to close; they are not used again.
    closePipe(true);
    closePipe(false);
    if (openPipes(port, false) != Type.NATIVE) {
      port.closePipe(port.hReadPort); // a printer of the other kind: not this one
      throw disconnected(1167);
    }
    synchronized (lock) {
      // Installed also after a close meanwhile: its release closes them.
      readHandle = port.hReadPort;
      writeHandle = port.hWritePort;
      generation++;
      stale = false;
    }
  }

  private static int millis(Duration d) {
    if (d.compareTo(Duration.ofMillis(Integer.MAX_VALUE)) >= 0) {
      return Integer.MAX_VALUE;
    }
    long ms = d.toMillis();
    return (int) (d.equals(Duration.ofMillis(ms)) ? ms : ms + 1);
  }

  /** The milliseconds left of {@code limit} nanoseconds from {@code start}, at least 0. */
  private static int millisLeft(long start, long limit) {
    long left = limit - (System.nanoTime() - start);
    return left <= 0 ? 0 : millis(Duration.ofNanos(left));
  }

  private static long nanos(Duration d) {
    try {
      return d.toNanos();
    } catch (ArithmeticException e) {
      return Long.MAX_VALUE;
    }
  }

  /** The bytes a read would take at once: what the receiver has buffered (printer class). */
  int available() throws IOException {
    begin(false);
    try {
      return type == Type.PRINTER_CLASS ? Math.max(0, port.bytesAvailable()) : 0;
    } finally {
      end(false);
    }
  }

  /** The NIO channels' exception for a call after the close, saying which printer. */
  private static final class Closed extends ClosedChannelException {
    private static final long serialVersionUID = 1L;
    private final String message;

    Closed(PrinterInfo info) {
      message = "the printer " + info.id() + " is closed";
    }

    @Override
    public String getMessage() {
      return message;
    }
  }

  /** The NIO channels' exception for a call that a close ended, saying which printer. */
  private static final class ClosedDuring extends AsynchronousCloseException {
    private static final long serialVersionUID = 1L;
    private final String message;

    ClosedDuring(PrinterInfo info) {
      message = "the printer " + info.id() + " was closed during the call";
    }

    @Override
    public String getMessage() {
      return message;
    }
  }

  static Duration streamStep() {
    return STREAM_STEP;
  }
}
