#!/usr/bin/env bash
# Builds what the Java demo needs (the library, the emulation, the simulator
# binding and the jars) and runs it against simulated printers: no hardware.
# Usage: tools/run-demo.sh [--quiet]    (--quiet leaves out the library's trace lines)
#        tools/run-demo.sh --real       (this machine's printer-class printers instead)
# The build goes to build/main, or to $VELTO_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -f tools/install-deps.sh ]; then
  VELTO_SKIP_WINDOWS=1 bash tools/install-deps.sh
fi
build=${VELTO_BUILD_DIR:-build/main}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "${VELTO_JOBS:-2}" --target veltousb_demo_all >/dev/null
exec sh "$build/java/run-demo.sh" "$@"
