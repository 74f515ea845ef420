package com.velto.printer;

import java.lang.System.Logger.Level;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Tells listeners which printers come and go, by comparing listings: a thread lists the printers
 * every {@link #PERIOD_MS} ms while a listener is registered. Each listener is called on a thread
 * of its own, in order, so that one that blocks or throws holds up no other and not the library.
 */
final class PrinterWatcher {
  static final long PERIOD_MS = 250;
  private static final System.Logger LOG = System.getLogger(PrinterWatcher.class.getName());
  private static final Object LOCK = new Object();
  private static final List<Delivery> LISTENERS = new ArrayList<>(); // guarded by LOCK
  private static Thread watcher; // guarded by LOCK; runs while a listener is registered

  private PrinterWatcher() {}

  /** One listener's queue of events and the thread that calls it. */
  private static final class Delivery implements Runnable {
    private final PrinterListener listener;
    private final LinkedBlockingQueue<Runnable> events = new LinkedBlockingQueue<>();
    private volatile boolean removed;

    Delivery(PrinterListener listener) {
      this.listener = listener;
    }

    void post(boolean attached, PrinterInfo printer) {
      events.add(() -> {
        if (attached) {
          listener.attached(printer);
        } else {
          listener.detached(printer);
        }
      });
    }

    @Override
    public void run() {
      while (!removed) {
        try {
          Runnable event = events.poll(PERIOD_MS, TimeUnit.MILLISECONDS);
          if (event != null && !removed) {
            event.run();
          }
        } catch (InterruptedException e) {
          return;
        } catch (RuntimeException | Error e) {
          LOG.log(Level.WARNING, "a PrinterListener threw; it keeps hearing events", e);
        }
      }
    }
  }

  /** Registers {@code listener}; closing the result removes it. */
  static PrinterListener.Registration add(PrinterListener listener) {
    Delivery delivery = new Delivery(listener);
    Thread caller = new Thread(delivery, "veltousb printer listener");
    caller.setDaemon(true);
    caller.start();
    synchronized (LOCK) {
      LISTENERS.add(delivery);
      if (watcher == null) {
        watcher = new Thread(PrinterWatcher::watch, "veltousb printer watcher");
        watcher.setDaemon(true);
        watcher.start();
      }
    }
    return () -> {
      delivery.removed = true;
      Thread idle;
      synchronized (LOCK) {
        LISTENERS.remove(delivery);
        idle = LISTENERS.isEmpty() ? watcher : null;
        if (idle != null) {
          watcher = null;
        }
      }
      if (idle != null) { // the last one: the watcher ends before this returns
        idle.interrupt();
        try {
          idle.join();
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
      }
    };
  }

  /** Lists the printers until the last listener is removed; posts what changed to every listener. */
  private static void watch() {
    Map<String, PrinterInfo> known = present();
    while (true) {
      try {
        Thread.sleep(PERIOD_MS);
      } catch (InterruptedException e) {
        return;
      }
      Map<String, PrinterInfo> now = present();
      List<Delivery> to;
      synchronized (LOCK) {
        if (watcher != Thread.currentThread()) {
          return;
        }
        to = List.copyOf(LISTENERS);
      }
      for (Map.Entry<String, PrinterInfo> gone : known.entrySet()) {
        if (!now.containsKey(gone.getKey())) {
          to.forEach(d -> d.post(false, gone.getValue()));
        }
      }
      for (Map.Entry<String, PrinterInfo> came : now.entrySet()) {
        if (!known.containsKey(came.getKey())) {
          to.forEach(d -> d.post(true, came.getValue()));
        }
      }
      known = now;
    }
  }

  /** The printers there now, by class and interface path. */
  private static Map<String, PrinterInfo> present() {
    Map<String, PrinterInfo> map = new LinkedHashMap<>();
    for (PrinterInfo p : UsbPrinter.list()) {
      map.put(p.type() + " " + p.interfacePath().toLowerCase(Locale.ROOT), p);
    }
    return map;
  }
}
