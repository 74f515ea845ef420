package com.velto.printer;

import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velto.printer.UsbPrinter.Type;
import com.velto.printer.sim.EmulatedFunction;
import com.velto.printer.sim.Pipe;
import com.velto.printer.sim.SimulatedPrinter;
import com.velto.printer.sim.Simulator;
import java.util.List;
import java.util.Optional;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.EnumSource;

/** The printer class requests: status byte and device id, asked only when the caller asks. */
class ClassRequestsTest extends LibraryTest {
  private SimulatedPrinter sim;

  private UsbPrinter open(Type type) throws Exception {
    sim = type == Type.NATIVE ? plugNative("Q") : plugPrinterClass("Q");
    sim.setIdentity("Velto", "TM-20", "Q", "1-1");
    return UsbPrinter.open(UsbPrinter.list().get(0));
  }

  @ParameterizedTest
  @CsvSource({"-1, 0x18, false, true, false", "0x38, 0x38, true, true, false",
      "0x10, 0x10, false, true, true", "0xc7, 0xc7, false, false, true"})
  void statusBitsAreThePrintersByte(
      String set, String raw, boolean paper, boolean selected, boolean error) throws Exception {
    try (UsbPrinter p = open(Type.PRINTER_CLASS)) {
      assertTrue(Integer.decode(set) < 0 || sim.setPortStatus(Integer.decode(set)));
      PortStatus s = p.portStatus();
      assertEquals(Integer.decode(raw), s.raw());
      assertEquals(List.of(paper, selected, error), List.of(s.paperEmpty(), s.selected(), s.error()));
    }
  }

  /** Raw ids: length prefix ("auto": the right one), text (| is a NUL), text given, model. */
  @ParameterizedTest
  @CsvSource(
      nullValues = "-",
      delimiter = '!',
      value = {
        "- ! - ! MFG:Velto;MDL:TM-20;CMD:ESC/POS;CLS:PRINTER; ! TM-20", // built from the identity
        "auto ! manufacturer:A;Model: X 1 ;SN:9; ! manufacturer:A;Model: X 1 ;SN:9; ! X 1",
        "auto ! '' ! '' ! -",
        "0x0400 ! MFG:A;MDL:Long; ! MFG:A;MDL:Long; ! Long", // claims more than came
        "0 ! MDL:Below; ! MDL:Below; ! Below", // claims less than its own prefix
        "9 ! MDL:Cut;more ! MDL:Cut ! Cut", // the prefix ends it
        "auto ! MFG:A;;junk;:x;MDL:NoEnd ! MFG:A;;junk;:x;MDL:NoEnd ! NoEnd",
        "auto ! MDL:Nul|MFG:hidden; ! MDL:Nul ! Nul"
      })
  void deviceIdIsTakenAsFarAsItCameAndParsedLeniently(
      String prefix, String text, String expected, String model) throws Exception {
    try (UsbPrinter p = open(Type.PRINTER_CLASS)) {
      if (text != null) {
        byte[] t = ascii(text.replace('|', '\0'));
        int n = "auto".equals(prefix) ? t.length + 2 : Integer.decode(prefix);
        byte[] raw = new byte[t.length + 2];
        raw[0] = (byte) (n >> 8);
        raw[1] = (byte) n;
        System.arraycopy(t, 0, raw, 2, t.length);
        sim.setDeviceId(raw);
      }
      DeviceId id = p.deviceId();
      assertEquals(expected, id.raw());
      assertEquals(Optional.ofNullable(model), id.get("model"));
    }
  }

  /** No answer, half an answer and a gone printer are failures, never a made-up status or id. */
  @ParameterizedTest
  @CsvSource({"silent, true, 31", "stall, false, 31", "stall, true, 31", "one byte, true, 13",
      "unplugged, false, 1167", "unplugged, true, 1167"})
  void aMissingAnswerIsAnException(String how, boolean id, int code) throws Exception {
    try (UsbPrinter p = open(Type.PRINTER_CLASS)) {
      switch (how) {
        case "silent" -> sim.setDeviceId(null);
        case "stall" -> sim.scriptControlError(Pipe.ANY, 31);
        case "one byte" -> sim.setDeviceId(new byte[] {0});
        default -> sim.unplug();
      }
      Executable ask = id ? p::deviceId : p::portStatus;
      if (how.equals("unplugged")) {
        assertEquals(code, assertThrows(PrinterDisconnectedException.class, ask).errorCode());
      } else {
        assertEquals(code, assertThrows(UsbIOException.class, ask).errorCode());
      }
    }
  }

  @ParameterizedTest
  @EnumSource(Type.class)
  void onlyThePrinterClassIsAskedAndOnlyWhenTheCallerAsks(Type type) throws Exception {
    try (UsbPrinter p = open(type)) {
      int before = Simulator.callCount(EmulatedFunction.DeviceIoControl);
      UsbPrinter.list();
      for (Executable ask : new Executable[] {p::portStatus, p::deviceId}) {
        if (type == Type.NATIVE) {
          assertThrows(UnsupportedOperationException.class, ask);
        } else {
          assertDoesNotThrow(ask);
        }
      }
      int sent = Simulator.callCount(EmulatedFunction.DeviceIoControl) - before;
      assertEquals(type == Type.NATIVE ? 0 : 2, sent, "one request per ask, none when refused");
      if (type == Type.PRINTER_CLASS) {
        assertEquals(0, before, "opening sent no request");
      }
    }
  }
}
