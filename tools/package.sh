#!/usr/bin/env bash
# Builds what users download into dist/:
#   veltousb-<version>.jar          UsbPort, UsbPrinter and the natives for windows-x86,
#                                   windows-x86_64 and linux-x86_64, loaded by the jar itself
#   veltousb-sim-<version>.jar      the simulated printers, for tests (Linux)
#   *-sources.jar, *-javadoc.jar, *.pom
#   veltousb-<version>-windows.zip  both DLLs, for users who load them themselves
# The version is the project version in CMakeLists.txt. The build goes to
# build/package, or to $VELTO_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
build=${VELTO_BUILD_DIR:-build/package}
jobs=${VELTO_JOBS:-2}

echo "== Windows DLLs (MinGW-w64 cross builds)"
bash tools/windows/build.sh --dlls-only --jobs "$jobs" "$build/windows"

echo "== Linux library and the jars"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DVELTO_WINDOWS_DLL_DIR="$(pwd)/$build/windows" >/dev/null
cmake --build "$build" -j "$jobs" --target veltousb_dist

rm -rf dist
mkdir dist
cp "$build"/dist/* dist/

# The jar must carry every platform's natives.
jar=$(ls dist/veltousb-[0-9]*.jar | grep -v -e -sources -e -javadoc)
for platform in windows-x86 windows-x86_64 linux-x86_64; do
  if ! jar tf "$jar" | grep -q "com/velto/printer/natives/$platform/veltousb.list"; then
    echo "package.sh: $jar lacks the natives for $platform" >&2
    exit 1
  fi
done
echo "== dist/"
ls -l dist
