package com.velto.printer.bench;

import java.util.Arrays;

/** Percentiles and a logarithmic histogram of samples in nanoseconds. */
final class Stats {
  /** Histogram buckets: four per power of two, from 1 µs to about 134 ms. */
  static final int BUCKETS = 68;

  private Stats() {}

  static double percentile(long[] samples, double p) {
    if (samples.length == 0) {
      return Double.NaN;
    }
    long[] sorted = samples.clone();
    Arrays.sort(sorted);
    int index = (int) Math.ceil(p / 100.0 * sorted.length) - 1;
    return sorted[Math.max(0, Math.min(sorted.length - 1, index))];
  }

  static double median(double[] values) {
    double[] sorted = values.clone();
    Arrays.sort(sorted);
    return sorted[sorted.length / 2];
  }

  /** Lower edge of bucket i in microseconds. */
  static double bucketEdgeMicros(int i) {
    return Math.pow(2.0, i / 4.0);
  }

  static long[] histogram(long[] samplesNanos) {
    long[] counts = new long[BUCKETS];
    for (long ns : samplesNanos) {
      double us = Math.max(1.0, ns / 1000.0);
      int i = (int) Math.floor(4.0 * Math.log(us) / Math.log(2.0));
      counts[Math.max(0, Math.min(BUCKETS - 1, i))]++;
    }
    return counts;
  }
}
