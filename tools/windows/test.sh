#!/usr/bin/env bash
# Builds both Windows DLLs and runs their tests under Wine: the CTest tests
# labelled "windows" of a Linux build configured for them (nothing of the
# Linux build itself is compiled). Usage: tools/windows/test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
bash tools/install-deps.sh
dir=${1:-build/wine}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_WERROR=ON \
  -DVELTO_WINDOWS_TESTS=ON >/dev/null
ctest --test-dir "$dir" -L windows --output-on-failure -j "${VELTO_JOBS:-2}"
