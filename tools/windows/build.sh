#!/usr/bin/env bash
# Cross-builds the Windows DLLs and the Windows test programs with MinGW-w64.
#
#   tools/windows/build.sh [--arch i686|x86_64|all] [--dlls-only] [--all-tests]
#                          [--werror ON|OFF] [--jobs N] [OUT_DIR]
#
# OUT_DIR (default build/windows) receives, per architecture:
#   <arch>/bin/veltousb.dll        the library ("-win32" thread model)
#   <arch>/bin/veltousb_seam.dll   its test build with the pipe seam
#   <arch>-tests/bin/*.exe         conformance_tests.exe, jvmstandin.exe ("-posix")
#
# The i686 test programs are left out where this machine cannot run 32-bit
# programs (tools/windows/wine.sh probe32), unless --all-tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

archs=(i686 x86_64)
dlls_only=0
all_tests=0
werror=OFF
jobs=${VELTO_JOBS:-2}
out=$root/build/windows
while [ $# -gt 0 ]; do
  case $1 in
    --arch) shift; [ "$1" = all ] && archs=(i686 x86_64) || archs=("$1") ;;
    --dlls-only) dlls_only=1 ;;
    --all-tests) all_tests=1 ;;
    --werror) shift; werror=$1 ;;
    --jobs) shift; jobs=$1 ;;
    -*) echo "build.sh: unknown option $1" >&2; exit 2 ;;
    *) out=$1 ;;
  esac
  shift
done

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

configure() {  # dir arch threads
  local dir=$1 arch=$2 threads=$3
  if [ ! -f "$dir/CMakeCache.txt" ] || [ "$(sed -n 's/^VELTO_WERROR:BOOL=//p' "$dir/CMakeCache.txt")" != "$werror" ]; then
    cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DVELTO_MINGW_THREADS="$threads" \
      -DVELTO_WERROR="$werror" >/dev/null
  fi
}

for arch in "${archs[@]}"; do
  echo "== $arch: veltousb.dll, veltousb_seam.dll"
  configure "$out/$arch" "$arch" win32
  cmake --build "$out/$arch" -j "$jobs"
  if [ $dlls_only = 0 ] && [ $all_tests = 0 ] && [ "$arch" = i686 ] &&
    [ "$(bash "$root/tools/windows/wine.sh" probe32)" != yes ]; then
    echo "== $arch: Windows test programs not built: $(bash "$root/tools/windows/wine.sh" probe32)"
  elif [ $dlls_only = 0 ]; then
    echo "== $arch: Windows test programs"
    configure "$out/$arch-tests" "$arch" posix
    cmake --build "$out/$arch-tests" -j "$jobs" --target conformance_tests jvmstandin
  fi
done
