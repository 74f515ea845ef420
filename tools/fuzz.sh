#!/usr/bin/env bash
# Runs every fuzz target at length from its seed corpus (tests/fuzz/corpus):
# for the given number of seconds each, or else for a million executions
# each. Builds them first through tools/test.sh fuzz (which also runs their
# short CI runs), and writes the figures of the run into the fuzzing section
# of docs/reliability.md. A failing target stops the run; its input and log
# stay in build/fuzz/long-run/<target>/.
# Usage: tools/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. tools/lib/doc-section.sh
dir=$root/build/fuzz
doc=$root/docs/reliability.md
begin='<!-- fuzz figures: written by tools/fuzz.sh -->'
end='<!-- end of fuzz figures -->'

if [ $# -gt 0 ]; then
  limit=(-max_total_time="$1")
  setting="$1 seconds per target"
else
  limit=(-runs=1000000)
  setting="1000000 executions per target"
fi
grep -qxF "$begin" "$doc" && grep -qxF "$end" "$doc" || {
  echo "fuzz.sh: $doc lacks the fuzz figure markers" >&2
  exit 1
}

bash tools/test.sh fuzz

table=$(mktemp)
trap 'rm -f "$table" "$table.section"' EXIT
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  work=$dir/long-run/$name
  rm -rf "$work"
  mkdir -p "$work/corpus"
  echo "=== fuzz_$name: $setting ==="
  if ! "$dir/tests/fuzz/fuzz_$name" "${limit[@]}" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "$seeds" >"$work/log" 2>&1; then
    tail -n 40 "$work/log"
    echo "fuzz.sh: fuzz_$name failed; its input and log are in $work" >&2
    exit 1
  fi
  # "#N DONE cov: C ft: F corp: K/Bb ...", "Done N runs in S second(s)"
  read -r runs cov ft corp < <(awk '$2 == "DONE" { r = $1; c = $4; f = $6; k = $8 }
    END { sub("#", "", r); sub("b$", "", k); print r, c, f, k }' "$work/log")
  seconds=$(awk '$1 == "Done" { print $5 }' "$work/log")
  seed_files=$(find "$seeds" -type f | wc -l)
  seed_bytes=$(find "$seeds" -type f -exec cat {} + | wc -c)
  echo "| fuzz_$name | $seed_files / $seed_bytes | $runs | $seconds | ${corp%/*} / ${corp#*/} | $cov / $ft |" \
    >>"$table"
  echo "$runs executions in $seconds s; corpus $corp; coverage $cov edges, $ft features"
done

commit=$(git rev-parse --short HEAD)
git diff --quiet HEAD -- src platform tests/fuzz || commit="$commit with local changes"
{
  echo "$begin"
  echo
  echo "Run of $(date -u +%Y-%m-%d) at commit $commit, $(clang-14 --version | head -n 1),"
  echo "$setting (\`bash tools/fuzz.sh${1:+ $1}\`):"
  echo
  echo "| Target | Seed inputs / bytes | Executions | Seconds | Corpus after the run: inputs / bytes | Coverage: edges / features |"
  echo "|---|---|---|---|---|---|"
  cat "$table"
  echo
  echo "$end"
} >"$table.section"
write_doc_section "$doc" "$table.section"
echo "=== figures written to docs/reliability.md ==="
