#!/usr/bin/env bash
# Builds everything and runs every test: the plain build (warnings as errors,
# with the JVM tests and the Windows builds under Wine), then the same C++
# tests under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer; and the fuzz targets, built with clang, each run for a
# fixed number of executions from its seed corpus (tools/fuzz.sh runs them
# at length). Usage: tools/test.sh [plain|asan|tsan|fuzz|format]...
#
# Every configuration runs even when an earlier one failed; the run ends with
# a table of them (tests passed, failed and skipped, minutes) and the tests
# that were skipped, with the reason. The exit status is non-zero when a build
# or a test failed; a skipped test is not a failure.
#
# A configuration's fault sweep mostly waits (on the receiver's pauses and the
# reads' time-outs): it runs in the background, many shards at a time, while
# the next configuration builds; its output follows when it is done.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash tools/install-deps.sh || exit 1

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(format plain asan tsan fuzz)
for c in "${configs[@]}"; do
  case $c in
    format | plain | asan | tsan | fuzz) ;;
    *) echo "unknown configuration: $c" >&2; exit 2 ;;
  esac
done
jobs=${VELTO_JOBS:-2}
summary=$root/build/test-summary
rm -rf "$summary"
mkdir -p "$summary"
wall_start=$SECONDS

# The sanitizers' advice: -O1, and line tables only, which halves the compile.
sanitizer_flags=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")

config_args() {  # name
  case $1 in
    asan) echo -DVELTO_SANITIZE=address -DVELTO_JAVA_SANITIZED_TESTS=ON ;;
    tsan) echo -DVELTO_SANITIZE=thread -DVELTO_JAVA_SANITIZED_TESTS=ON ;;
    fuzz) echo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DVELTO_SANITIZE=address -DVELTO_FUZZ=ON ;;
  esac
}

# The environment of a configuration's test runs (called in a subshell).
config_env() {  # name
  case $1 in
    asan)
      export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
      export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
      ;;
    tsan) export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ;;
  esac
}

add_seconds() {  # name seconds
  local f=$summary/$1.seconds
  echo $(($(cat "$f" 2>/dev/null || echo 0) + $2)) >"$f"
}
mark_failed() { touch "$summary/$1.failed"; }

build_config() {  # name
  local name=$1 dir=$root/build/$1 start=$SECONDS extra=()
  [ "$name" = asan ] || [ "$name" = tsan ] && extra=("${sanitizer_flags[@]}")
  echo "=== $name build ==="
  rm -f "$dir"/junit-*.xml
  # shellcheck disable=SC2046
  if ! cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_WERROR=ON \
    $(config_args "$name") "${extra[@]}" >/dev/null || ! cmake --build "$dir" -j "$jobs"; then
    mark_failed "$name"
    touch "$summary/$name.build-failed"
  fi
  add_seconds "$name" $((SECONDS - start))
  [ ! -f "$summary/$name.build-failed" ]
}

test_config() {  # name
  local name=$1 dir=$root/build/$1 start=$SECONDS
  echo "=== $name tests ==="
  (
    config_env "$name"
    ctest --test-dir "$dir" --output-on-failure --output-junit "$dir/junit-main.xml" \
      -j "$jobs" --timeout 300 -LE sweep
  ) || mark_failed "$name"
  add_seconds "$name" $((SECONDS - start))
}

# Runs in the background; its output goes to a log that finish_sweep shows.
sweep_config() {  # name
  local name=$1 dir=$root/build/$1 start=$SECONDS
  (
    config_env "$name"
    ctest --test-dir "$dir" --output-on-failure --output-junit "$dir/junit-sweep.xml" \
      -j "${VELTO_SWEEP_JOBS:-8}" --timeout 900 -L sweep
  ) >"$summary/$name.sweep.log" 2>&1 || mark_failed "$name"
  add_seconds "$name" $((SECONDS - start))
}

sweep_pid="" sweep_name=""
start_sweep() {  # name
  local dir=$root/build/$1
  ctest --test-dir "$dir" -N -L sweep | grep -q "Total Tests: [1-9]" || return 0
  echo "=== $1 fault sweep: started in the background ==="
  sweep_config "$1" &
  sweep_pid=$! sweep_name=$1
}
finish_sweep() {
  [ -n "$sweep_pid" ] || return 0
  wait "$sweep_pid"
  echo "=== $sweep_name fault sweep ==="
  cat "$summary/$sweep_name.sweep.log"
  sweep_pid="" sweep_name=""
}

format_check() {
  local start=$SECONDS f
  echo "=== clang-format check ==="
  while read -r f; do
    if clang-format --dry-run --Werror "$f"; then
      echo "pass $f"
    else
      echo "fail $f"
    fi
  done < <(git ls-files '*.cpp' '*.h') >"$summary/format.results"
  grep -q '^fail ' "$summary/format.results" && mark_failed format
  add_seconds format $((SECONDS - start))
}

for c in "${configs[@]}"; do
  if [ "$c" = format ]; then
    format_check
    continue
  fi
  built=1
  build_config "$c" || built=0
  finish_sweep
  if [ $built = 1 ]; then
    test_config "$c"
    start_sweep "$c"
  fi
done
finish_sweep

# ---- The summary ----
overall=0
minutes() { awk -v s="$1" 'BEGIN { printf "%.1f", s / 60 }'; }
echo
echo "=== summary ==="
printf '%-14s %8s %8s %8s %9s  %s\n' configuration passed failed skipped minutes result
for c in "${configs[@]}"; do
  results=$summary/$c.results
  if [ "$c" != format ]; then
    cat "$root/build/$c"/junit-*.xml 2>/dev/null | awk -f "$root/tools/lib/ctest-results.awk" >"$results"
  fi
  passed=$(grep -c '^pass ' "$results")
  failed=$(grep -c '^fail ' "$results")
  skipped=$(grep -c '^skip ' "$results")
  result=ok
  if [ -f "$summary/$c.build-failed" ]; then
    result="FAILED (build)"
  elif [ -f "$summary/$c.failed" ]; then
    result=FAILED
  fi
  [ "$result" = ok ] || overall=1
  [ "$skipped" != 0 ] && [ "$result" = ok ] && result="ok, $skipped SKIPPED"
  printf '%-14s %8d %8d %8d %9s  %s\n' "$c" "$passed" "$failed" "$skipped" \
    "$(minutes "$(cat "$summary/$c.seconds")")" "$result"
done
printf '%-14s %8s %8s %8s %9s  %s\n' "all (wall)" "" "" "" "$(minutes $((SECONDS - wall_start)))" \
  "(a sweep overlaps the next build)"

for c in "${configs[@]}"; do
  grep '^fail ' "$summary/$c.results" | sed "s/^fail /FAILED ($c): /"
done
# Skipped tests, grouped by their reason.
for c in "${configs[@]}"; do
  grep '^skip ' "$summary/$c.results" | sed 's/^skip //' |
    awk -F'\t' -v c="$c" '{ names[$2] = names[$2] (names[$2] == "" ? "" : ", ") $1 }
      END { for (r in names) printf "SKIPPED (%s): %s\n    reason: %s\n", c, names[r], r }'
done
if [ $overall = 0 ]; then
  echo "=== all passed ==="
else
  echo "=== FAILED ==="
fi
exit $overall
