#!/usr/bin/env bash
# The main job: builds the library and runs the demo against simulated
# printers (no hardware needed).
set -euo pipefail
cd "$(dirname "$0")/.."
VELTO_SKIP_WINDOWS=1 bash tools/install-deps.sh
if [ -f tools/run-demo.sh ]; then
  exec bash tools/run-demo.sh "$@"
fi
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/main -j 2 --target simdemo
exec build/main/tools/simdemo/simdemo "$@"
