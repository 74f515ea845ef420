#!/usr/bin/env bash
# The Wine part of tools/bench.sh: builds the test build of the library (pipe
# seam) from SRC and this tree's benchmark program, and runs it under Wine in a
# prefix of its own: the 32-bit DLL, the library's home, where this kernel runs
# 32-bit programs, else the 64-bit DLL (the results name which).
#
#   bench/wine/run.sh SRC LABEL REVISION OUT.json [--quick] [--loss-seconds N]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
src=$1 label=$2 revision=$3 out=$4
shift 4
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) args+=(--quick) ;;
    --loss-seconds) args+=("--loss-seconds=$2"); shift ;;
  esac
  shift
done
jobs=${VELTO_JOBS:-2}
work=$root/build/bench
dll_build=$work/$label-win
tools_build=$work/wine-tools

why=$(bash "$root/tools/windows/wine.sh" probe32)
if [ "$why" = yes ]; then
  arch=i686
  echo "== $label: Wine, 32-bit DLL"
else
  arch=x86_64
  echo "== $label: Wine, 64-bit DLL ($why)"
fi
dll_build=$dll_build-$arch
tools_build=$tools_build-$arch

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src" -B "$dll_build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-$arch.cmake" -DVELTO_MINGW_THREADS=win32 \
  -DVELTO_WERROR=OFF >/dev/null
cmake --build "$dll_build" -j "$jobs" --target veltousb_seam
cmake -S "$root" -B "$tools_build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DVELTO_MINGW_THREADS=posix \
  -DVELTO_WERROR=OFF >/dev/null
cmake --build "$tools_build" -j "$jobs" --target wine_bench

winpath() { echo "Z:${1//\//\\}"; }
prefix=$work/wineprefix
bash "$root/tools/windows/wine.sh" boot "$prefix"
trap 'bash "$root/tools/windows/wine.sh" stop "$prefix"' EXIT
bash "$root/tools/windows/wine.sh" run "$prefix" "$tools_build/bin/wine_bench.exe" \
  "--seam-dll=$(winpath "$dll_build/bin/veltousb_seam.dll")" "--out=$(winpath "$out")" \
  "--label=$label" "--revision=$revision" "--date=$(date -u +%Y-%m-%dT%H:%M:%SZ)" "${args[@]}"
