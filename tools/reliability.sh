#!/usr/bin/env bash
# Runs the fault sweep (label sweep) and the stress runs (label stress) and
# writes their section of docs/reliability.md from the run (tools/fuzz.sh
# writes the fuzzing figures). Usage: tools/reliability.sh [build dir,
# default build/plain]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/doc-section.sh
build=${1:-build/plain}
if [ ! -x "$build/tests/reliability/velto_sweep" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 --target velto_sweep velto_stress
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$build/tests/reliability/velto_sweep" --count >"$tmp/count"
start=$(date +%s)
ctest --test-dir "$build" -L sweep -j 8 --timeout 900 --output-on-failure >"$tmp/sweep" 2>&1 || true
sweep_s=$(($(date +%s) - start))
start=$(date +%s)
ctest --test-dir "$build" -L stress -j 2 --timeout 900 -V >"$tmp/stress" 2>&1 || true
stress_s=$(($(date +%s) - start))

points_once=$(awk '/^total:/ {print $2}' "$tmp/count")
runs=$(grep -hoE '[0-9]+ run here' "$tmp/sweep" | awk '{s += $1} END {print s + 0}')
failed=$(grep -hoE '[0-9]+ failed$' "$tmp/sweep" | awk '{s += $1} END {print s + 0}')
sweep_tests=$(grep -oE '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$tmp/sweep" || true)
stress_tests=$(grep -oE '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$tmp/stress" || true)
seeds=$(grep -oE 'seed [0-9]+' "$tmp/stress" | awk '{print $2}' | paste -sd, - || true)

doc=docs/reliability.md
begin="<!-- sweep and stress: written by tools/reliability.sh -->"
end="<!-- end of sweep and stress -->"
{
  echo "$begin"
  echo "## Fault sweep"
  echo
  echo "Written by \`bash tools/reliability.sh\` from a run on $(date -u +%Y-%m-%d) at commit"
  echo "$(git rev-parse --short HEAD) ($(nproc) cores); rerun it to refresh every figure here."
  echo
  echo "\`velto_sweep\` (CTest label \`sweep\`) runs four scenarios through the shared module as a"
  echo "Java driver would: native type (open both pipes, write, read, line control, error"
  echo "texts, close), printer class (open, write, stream 2,100 bytes in and read them, unplug,"
  echo "replug, read again, close), and a close racing a read in each type. Each runs once clean,"
  echo "counting the calls of every emulated function and of the module's allocations; then once"
  echo "per injection point with that call failing once, and once with every call of that"
  echo "function from there on failing. After each run: no crash or sanitizer report, every"
  echo "native back within 20 s (a watchdog names the hang), the printer's log equals the writes"
  echo "reported done, no byte read that was not sent or out of order, and nothing left open"
  echo "after the final close (a failed close or release may leave its own object)."
  echo
  echo "| Scenario | Injection points per pass |"
  echo "|---|---|"
  awk -F': ' '/injection points \(/ {split($2, a, " "); print "| " $1 " | " a[1] " |"}' "$tmp/count"
  echo "| all four | $points_once (twice that over both passes) |"
  echo
  echo "This run: $runs injected runs, $failed failed; CTest: ${sweep_tests:-none}; ${sweep_s} s."
  echo "Per function, as counted by \`velto_sweep --count\`:"
  echo
  echo '```'
  cat "$tmp/count"
  echo '```'
  echo
  echo "ThreadSanitizer builds run every fifth point. Rerun one scenario:"
  echo "\`build/plain/tests/reliability/velto_sweep printer-class once 1/8\`."
  echo
  echo "## Stress"
  echo
  echo "\`velto_stress\` (label \`stress\`): 10,000 open/write/read/close cycles alternating the two"
  echo "types, back to no handle, no thread and no heap growth; a printer-class stream read by"
  echo "a Java-like reader across 100 unplugs and replugs, every byte either read in order or"
  echo "dropped by a removal (\`SimBytesDropped\`); four threads of random natives (2,000 each)"
  echo "against a printer unplugged and replugged at random, for each type, seeded (replay with"
  echo "\`VELTO_STRESS_SEED\`). This run: ${stress_tests:-none}; ${stress_s} s; seeds ${seeds:-none}."
  echo "$end"
} >"$tmp/section"
write_doc_section "$doc" "$tmp/section"
echo "wrote the sweep and stress section of $doc"
