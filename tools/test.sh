#!/usr/bin/env bash
# Builds everything and runs every test: the plain build (warnings as errors,
# with the JVM tests and the Windows builds under Wine), then the same C++
# tests under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer; and the fuzz targets, built with clang, each run for a
# fixed number of executions from its seed corpus (tools/fuzz.sh runs them
# at length). Usage: tools/test.sh [plain|asan|tsan|fuzz|format]...
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash tools/install-deps.sh

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(format plain asan tsan fuzz)
jobs=${VELTO_JOBS:-2}

run_config() {
  local name=$1 dir=$root/build/$1
  shift
  echo "=== $name build ==="
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests ==="
  local status=0
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 -LE sweep || status=$?
  # The sweep's runs mostly wait (on the receiver's pauses and the reads'
  # time-outs), so its shards run many at a time.
  if ctest --test-dir "$dir" -N -L sweep | grep -q "Total Tests: [1-9]"; then
    echo "=== $name fault sweep ==="
    ctest --test-dir "$dir" --output-on-failure -j "${VELTO_SWEEP_JOBS:-8}" --timeout 900 -L sweep ||
      status=$?
  fi
  return $status
}

for c in "${configs[@]}"; do
  case $c in
    format)
      echo "=== clang-format check ==="
      git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
      ;;
    plain) run_config plain ;;
    asan)
      (
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        run_config asan -DVELTO_SANITIZE=address -DVELTO_JAVA_SANITIZED_TESTS=ON
      )
      ;;
    tsan)
      (
        export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
        run_config tsan -DVELTO_SANITIZE=thread -DVELTO_JAVA_SANITIZED_TESTS=ON
      )
      ;;
    fuzz)
      run_config fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DVELTO_SANITIZE=address -DVELTO_FUZZ=ON
      ;;
    *) echo "unknown configuration: $c" >&2; exit 2 ;;
  esac
done
echo "=== all done ==="
