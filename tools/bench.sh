#!/usr/bin/env bash
# Benchmarks of the library, each figure beside a raw baseline measured in the
# same run (the same simulated printers, plain Win32 calls, no library):
#   - on Linux through a real JVM (bench/jvm), the library on the emulation;
#   - under Wine, the DLL's test build against printers on named pipes
#     (bench/wine), unless --no-wine: the 32-bit DLL where this kernel runs
#     32-bit programs, else the 64-bit one (the report says which).
# It builds a release build of the code under test, writes the results to
# docs/performance/<label>-linux.json and <label>-wine.json, and regenerates
# docs/performance.md and its latency histogram from every results file there.
#
#   tools/bench.sh [--rev REV] [--label NAME] [--loss-seconds N] [--quick] [--no-wine]
#                  [--no-linux] [--report-only]
#
#   --rev REV          measure that revision (exported with git archive) instead of
#                      the working tree; the benchmark programs are always this tree's
#   --label NAME       results name, "after" by default ("before": the code before a change)
#   --loss-seconds N   duration of the steady full-speed runs, one printer and two at once
#                      (60 by default, 10 with --quick)
#   --quick            shorter runs everywhere: a look, not a figure to publish
#   --no-wine, --no-linux  leave out one platform (its results file is kept)
#   --report-only      only regenerate docs/performance.md from the results files
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

rev="" label=after loss="" quick=0 wine=1 linux=1 report_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --rev) rev=$2; shift ;;
    --label) label=$2; shift ;;
    --loss-seconds) loss=$2; shift ;;
    --quick) quick=1 ;;
    --no-wine) wine=0 ;;
    --no-linux) linux=0 ;;
    --report-only) report_only=1 ;;
    *) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

VELTO_BENCH=1 bash tools/install-deps.sh
jobs=${VELTO_JOBS:-2}
work=$root/build/bench
results=$root/docs/performance
mkdir -p "$work" "$results"

# ---- The benchmark programs (this tree), compiled against a build's jar ----
java_home=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
compile_java() {  # jars classes-dir
  rm -rf "$2"
  mkdir -p "$2"
  local sources
  sources=$(find "$root/bench/jvm/src" -name '*.java')
  # Revisions whose UsbPrinter cannot list the printers have no runs of several printers.
  local j listed=0
  for j in ${1//:/ }; do
    jar tf "$j" | grep -x 'com/velto/printer/PrinterInfo.class' >/dev/null && listed=1
  done
  [ $listed = 1 ] || sources=$(echo "$sources" | grep -v '/Several\.java$')
  javac --release 17 -encoding UTF-8 -cp "$1" -d "$2" $sources
}

if [ $report_only = 0 ]; then
  # ---- The code under test ----
  if [ -n "$rev" ]; then
    src=$work/src-$label
    rm -rf "$src"
    mkdir -p "$src"
    git archive "$rev" | tar -x -C "$src"
    # The archive's files carry the commit's time: builds of another revision
    # under this label would look newer. Build afresh.
    rm -rf "$work/$label-linux" "$work/$label-win"-*
    revision=$(git rev-parse --short "$rev")
  else
    src=$root
    revision=$(git rev-parse --short HEAD)
    git diff --quiet HEAD -- src platform || revision="$revision+changes"
  fi
  echo "== $label: revision $revision"

  quick_args=()
  [ $quick = 1 ] && quick_args=(--quick)
  [ -n "$loss" ] && quick_args+=(--loss-seconds "$loss")
fi

if [ $report_only = 0 ] && [ $linux = 1 ]; then
  build=$work/$label-linux
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DVELTO_WERROR=OFF >/dev/null
  # The simulator's classes have a jar of their own in later revisions.
  targets=(veltousb win32emu veltosim_jni veltousb_java)
  ninja -C "$build" -t targets all | grep -q '^veltousb_sim_java:' && targets+=(veltousb_sim_java)
  cmake --build "$build" -j "$jobs" --target "${targets[@]}"
  emu_dir=$(dirname "$(find "$build" -name libwin32emu.so | head -1)")
  lib_dir=$(dirname "$(find "$build" -name libveltousb.so | head -1)")
  sim_dir=$(dirname "$(find "$build" -name libveltosim_jni.so | head -1)")
  jar=$(find "$build/java" -maxdepth 1 -name 'veltousb.jar' -o -maxdepth 1 -name 'veltousb-sim.jar' |
    tr '\n' : | sed 's/:$//')
  g++ -O2 -std=c++17 -shared -fPIC -o "$build/libveltobench_raw.so" \
    "$root/bench/jvm/native/RawDevice.cpp" -I"$src/platform/include" \
    -I"$java_home/include" -I"$java_home/include/linux" -L"$emu_dir" -lwin32emu \
    -Wl,-rpath,"$emu_dir"
  compile_java "$jar" "$build/bench-classes"

  echo "== $label: Linux, JVM"
  libpath=$lib_dir:$emu_dir:$sim_dir:$build
  LD_LIBRARY_PATH=$libpath java -Djava.library.path="$libpath" \
    -cp "$jar:$build/bench-classes" com.velto.printer.bench.Bench \
    --out "$results/$label-linux.json" --label "$label" --revision "$revision" "${quick_args[@]}"
fi

if [ $report_only = 0 ] && [ $wine = 1 ]; then
  bash "$root/bench/wine/run.sh" "$src" "$label" "$revision" "$results/$label-wine.json" \
    "${quick_args[@]}"
fi

# ---- The report: docs/performance.md and the histogram, from the results files ----
report_classes=$work/report-classes
rm -rf "$report_classes"
mkdir -p "$report_classes"
javac --release 17 -encoding UTF-8 -d "$report_classes" \
  "$root"/bench/jvm/src/com/velto/printer/bench/{Report,Results,Stats}.java
java -cp "$report_classes" com.velto.printer.bench.Report "$results" "$root/docs/performance.md"
(cd "$results" && gnuplot latency.gp)
echo "== docs/performance.md regenerated"
