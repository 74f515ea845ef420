package com.velto.printer;

import static java.util.concurrent.TimeUnit.MILLISECONDS;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.UsbPrinter.Type;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.CompletableFuture;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.EnumSource;

/** Several printers listed with their identity, opened by id, and driven at once. */
class SeveralPrintersTest extends LibraryTest {
  private static final Duration BOUND = Duration.ofMillis(BOUND_MS);

  private static SimulatedPrinter plug(Type type, String serial, String location) {
    SimulatedPrinter sim = type == Type.NATIVE ? plugNative(location) : plugPrinterClass(location);
    assertTrue(sim.setIdentity("Velto", "TM-" + location, serial, location));
    return sim;
  }

  private static String model(Type type) {
    String path =
        type == Type.NATIVE
            ? SimulatedPrinter.nativePath("x")
            : SimulatedPrinter.printerClassPath("x");
    String m = path.replaceAll("(?i).*vid_(\\p{XDigit}{4})&pid_(\\p{XDigit}{4}).*", "$1:$2");
    return "usb:" + m.toLowerCase();
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void listingGivesTheIdentityAndOpensNothing(Type type) throws Exception {
    plug(type, "A1%B", "1-1.2");
    int opens = Simulator.openHandleCount();
    List<PrinterInfo> all = UsbPrinter.list();
    assertEquals(opens, Simulator.openHandleCount(), "listing opened nothing");
    assertEquals(1, all.size());
    PrinterInfo p = all.get(0);
    assertEquals(type, p.type());
    assertEquals(Optional.of("A1%B"), p.serialNumber());
    assertEquals("Velto", p.manufacturer());
    assertEquals("TM-1-1.2", p.product());
    assertEquals("1-1.2", p.location());
    assertTrue(p.accepted() && p.serialUnique());
    assertEquals(model(type) + "/A1%25B", p.id(), "escaped serial");
    assertEquals(Integer.parseInt(model(type).substring(4, 8), 16), p.vendorId());
  }

  /** Serials of two printers of one model, and the form of the ids they get. */
  @ParameterizedTest
  @CsvSource(
      nullValues = "-",
      value = {"S1, S2, /S1, /S2", "S1, S1, @1-1, @1-2", "-, S2, @1-1, /S2", "-, -, @1-1, @1-2"})
  void idsTellTwoPrintersOfOneModelApart(String serial1, String serial2, String id1, String id2)
      throws Exception {
    SimulatedPrinter[] sims = {
      plug(Type.PRINTER_CLASS, serial1, "1-1"), plug(Type.PRINTER_CLASS, serial2, "1-2")
    };
    String m = model(Type.PRINTER_CLASS);
    List<String> ids = new ArrayList<>();
    UsbPrinter.list().forEach(p -> ids.add(p.id()));
    assertEquals(List.of(m + id1, m + id2), ids);
    for (int i = 0; i < 2; i++) {
      try (UsbPrinter printer = UsbPrinter.open(ids.get(i))) {
        printer.write(ascii("to " + i));
      }
      assertEquals("to " + i, ascii(sims[i].written()), "printer " + i + " got exactly its bytes");
    }
    if (serial1 != null && serial1.equals(serial2)) {
      AmbiguousPrinterException e =
          assertThrows(AmbiguousPrinterException.class, () -> UsbPrinter.open(m + "/" + serial1));
      assertEquals(2, e.candidates().size());
    }
    PrinterNotFoundException e =
        assertThrows(PrinterNotFoundException.class, () -> UsbPrinter.open(m + "/NONE"));
    assertTrue(e.getMessage().contains(ids.get(1)), "names what is attached: " + e.getMessage());
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void aPrinterTheTableDoesNotKnowOpensWhenNamed(Type type) throws Exception {
    String guid =
        type == Type.NATIVE
            ? Simulator.nativePrinterInterfaceClass()
            : Simulator.printerClassInterfaceClass();
    SimulatedPrinter sim =
        SimulatedPrinter.plug(
            type == Type.NATIVE ? SimulatedPrinter.Kind.NATIVE : SimulatedPrinter.Kind.PRINTER_CLASS,
            guid,
            SimulatedPrinter.interfacePath("vid_1234&pid_5678", "Z9", guid));
    PrinterInfo p = UsbPrinter.list().get(0);
    assertTrue(!p.accepted());
    assertThrows(PrinterNotFoundException.class, UsbPrinter::open);
    try (UsbPrinter printer = UsbPrinter.open(p.id())) {
      printer.write(ascii("named"));
    }
    assertEquals("named", ascii(sim.written()));
  }

  /**
   * Two printers stream to two reader threads while a third printer prints; one is unplugged and
   * replugged meanwhile: no byte crosses to the other, and the other never notices.
   */
  @ParameterizedTest
  @EnumSource(Type.class)
  void sessionsStreamApartAndOneUnplugTouchesNoOther(Type third) throws Exception {
    SimulatedPrinter a = plug(Type.PRINTER_CLASS, "A", "1-1");
    SimulatedPrinter b = plug(Type.PRINTER_CLASS, "B", "1-2");
    SimulatedPrinter c = plug(third, "C", "1-3");
    try (UsbPrinter pa = UsbPrinter.open(model(Type.PRINTER_CLASS) + "/A");
        UsbPrinter pb = UsbPrinter.open(model(Type.PRINTER_CLASS) + "/B");
        UsbPrinter pc = UsbPrinter.open(model(third) + "/C")) {
      CompletableFuture<byte[]> fromA = readAsync(pa, 3000);
      CompletableFuture<byte[]> fromB = readAsync(pb, 3000);
      for (int i = 0; i < 30; i++) {
        a.send(fill((byte) 'a', 100));
        b.send(fill((byte) 'b', 100));
        pc.write(fill((byte) 'c', 100));
      }
      assertArrayEquals(fill((byte) 'a', 3000), fromA.get());
      assertArrayEquals(fill((byte) 'b', 3000), fromB.get());
      assertArrayEquals(fill((byte) 'c', 3000), c.written());

      assertTrue(a.unplug());
      assertTrue(!pa.isConnected() && pb.isConnected(), "told while idle, of that printer only");
      assertThrows(PrinterDisconnectedException.class, () -> pa.read(new byte[8], BOUND));
      b.send(ascii("still here"));
      assertEquals("still here", ascii(readAsync(pb, 10).get()));
      pb.write(ascii("to b"));
      assertTrue(a.replug());
      assertTrue(a.waitPendingReads(1, BOUND_MS), "a's receiver reads the replugged printer");
      a.send(ascii("back"));
      assertEquals("back", ascii(readAsync(pa, 4).get()));
      assertEquals("to b", ascii(b.written()));
      if (third == Type.NATIVE) { // idle while away: the first write after finds it back
        assertTrue(c.unplug() && c.replug());
        pc.write(ascii("after"));
        assertTrue(ascii(c.written()).endsWith("after"));
      }
    }
  }

  /** Two listeners, one that throws at every event: both hear plugging and unplugging. */
  @Test
  void listenersHearPrintersComeAndGoAndOneThatThrowsStopsNoOther() throws Exception {
    SimulatedPrinter a = plug(Type.PRINTER_CLASS, "A", "1-1");
    BlockingQueue<String> heard = new LinkedBlockingQueue<>();
    BlockingQueue<String> thrower = new LinkedBlockingQueue<>();
    int listings = Simulator.callCount(EmulatedFunction.SetupDiGetClassDevsA);
    PrinterListener.Registration l1 = UsbPrinter.addListener(recorder(thrower, true));
    PrinterListener.Registration l2 = UsbPrinter.addListener(recorder(heard, false));
    try {
      // Two listings (two classes each) after the first: the watcher knows what is there.
      assertTrue(
          Simulator.waitCallCount(EmulatedFunction.SetupDiGetClassDevsA, listings + 4, BOUND_MS));
      String na = model(Type.PRINTER_CLASS) + "/A";
      String nb = model(Type.NATIVE) + "/B";
      SimulatedPrinter b = plug(Type.NATIVE, "B", "1-2");
      assertEquals("+" + nb, heard.poll(BOUND_MS, MILLISECONDS));
      // Each change is awaited before the next: a listing sees what is there at that moment.
      assertTrue(a.unplug());
      assertEquals("-" + na, heard.poll(BOUND_MS, MILLISECONDS));
      assertTrue(a.replug());
      assertEquals("+" + na, heard.poll(BOUND_MS, MILLISECONDS));
      assertTrue(b.unplug());
      assertEquals("-" + nb, heard.poll(BOUND_MS, MILLISECONDS));
      List<String> thrown = new ArrayList<>();
      for (String e; thrown.size() < 4 && (e = thrower.poll(BOUND_MS, MILLISECONDS)) != null; ) {
        thrown.add(e);
      }
      assertEquals(List.of("+" + nb, "-" + na, "+" + na, "-" + nb), thrown, "the thrower heard all");
    } finally {
      l1.close();
      l2.close();
    }
  }

  private static PrinterListener recorder(BlockingQueue<String> q, boolean alsoThrow) {
    return new PrinterListener() {
      @Override
      public void attached(PrinterInfo p) {
        q.add("+" + p.id());
        if (alsoThrow) {
          throw new IllegalStateException("a listener that throws");
        }
      }

      @Override
      public void detached(PrinterInfo p) {
        q.add("-" + p.id());
        if (alsoThrow) {
          throw new IllegalStateException("a listener that throws");
        }
      }
    };
  }

  private static CompletableFuture<byte[]> readAsync(UsbPrinter p, int n) {
    return CompletableFuture.supplyAsync(
        () -> {
          byte[] out = new byte[n];
          int got = 0;
          byte[] buffer = new byte[64];
          try {
            while (got < n) {
              int r = p.read(buffer, BOUND);
              assertTrue(r > 0 && got + r <= n, "bytes within the bound, no more than sent");
              System.arraycopy(buffer, 0, out, got, r);
              got += r;
            }
          } catch (IOException e) {
            throw new UncheckedIOException(e);
          }
          return out;
        });
  }

  private static byte[] fill(byte b, int n) {
    byte[] out = new byte[n];
    Arrays.fill(out, b);
    return out;
  }
}
