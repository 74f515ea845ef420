package com.velto.printer.internal;

import com.velto.printer.UsbPrinter;
import com.velto.printer.sim.SimulatedPrinter;
import java.time.Duration;

/** The child JVM of {@link NativeLoaderTest}: asks a simulated printer for its status. */
public final class LoaderProbe {
  private LoaderProbe() {}

  public static void main(String[] args) throws Exception {
    SimulatedPrinter sim = SimulatedPrinter.plugNative(SimulatedPrinter.nativePath("L1"));
    sim.addResponder(new byte[] {0x10, 0x04, 0x01}, new byte[] {0x16});
    try (UsbPrinter printer = UsbPrinter.open()) {
      printer.write(new byte[] {0x10, 0x04, 0x01});
      byte[] reply = new byte[4];
      int n = printer.read(reply, Duration.ofSeconds(20));
      System.out.println("reply " + n + " " + reply[0]);
    }
    System.out.println("veltousb from " + NativeLoader.loadedFrom("veltousb"));
    System.out.println("veltosim_jni from " + NativeLoader.loadedFrom("veltosim_jni"));
    NativeLoader.triedBefore("veltousb").forEach(t -> System.out.println("tried " + t));
  }
}
