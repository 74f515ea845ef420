#!/usr/bin/env bash
# The main job: builds the library and runs the demo against simulated
# printers (no hardware needed).
#   bash tools/main.sh [--quiet]   the demo on simulated printers
#   bash tools/main.sh --real      this machine's USB printer-class printers (Linux: usblp):
#                                  lists them, and sends the first one the library's device
#                                  table accepts a status request; with none it says so
set -euo pipefail
cd "$(dirname "$0")/.."
VELTO_SKIP_WINDOWS=1 bash tools/install-deps.sh
if [ -f tools/run-demo.sh ]; then
  exec bash tools/run-demo.sh "$@"
fi
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/main -j 2 --target simdemo
exec build/main/tools/simdemo/simdemo "$@"
