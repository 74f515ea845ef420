#!/usr/bin/env bash
# Our own small mutation check: how many plausible faults the suite catches.
#
#   tools/mutants.sh [--only PATTERN] [--sample N] [--cap MINUTES] [--update-doc]
#
# Each mutant of tools/mutants.list (a file, a text in it, its replacement and
# the fault that plants) is applied in turn to a scratch copy of this tree
# (build/mutants/src), built incrementally (build/mutants/build: the plain
# build without the Windows tests) and run against the fast suite: every test
# but the labels windows, fuzz and sweep, stopping at the first failure. A
# mutant is killed when a test fails or the run exceeds the cap (three times
# the unmutated run, at least --cap minutes); it survived when the suite
# passes. A mutant whose text is not found exactly once, or that does not
# build, stops the check before anything runs (the list must follow the code).
#
# Prints a table (mutant, killed or survived, the tests that killed it,
# minutes) and, on a full run, writes the kill rate and the table into
# docs/reliability.md (--update-doc: a partial run puts its rows in place of
# theirs there and counts again, naming them as refreshed). --only takes an extended regular expression matched
# against the mutant's name and file; --sample N runs N mutants picked at
# random. Not part of CI: run it before calling a change done.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. tools/lib/doc-section.sh

only="" sample=0 cap_min=5 update_doc=0
while [ $# -gt 0 ]; do
  case $1 in
    --only) only=$2; shift ;;
    --sample) sample=$2; shift ;;
    --cap) cap_min=$2; shift ;;
    --update-doc) update_doc=1 ;;
    *) echo "usage: tools/mutants.sh [--only PATTERN] [--sample N] [--cap MINUTES] [--update-doc]" >&2
      exit 2 ;;
  esac
  shift
done

list=$root/tools/mutants.list
work=$root/build/mutants
scratch=$work/src
build=$work/build
jobs=${VELTO_JOBS:-2}
labels_out='windows|fuzz|sweep'

# ---- The list: blocks of "key: value" lines; "find+"/"replace+" lines
# continue the value on a new line. ----
names=() files=() finds=() repls=() whys=() accepts=()
add_mutant() {
  [ -z "${m_name:-}" ] && return
  if [ -z "$m_file" ] || [ -z "$m_find" ] || [ -z "$m_why" ] || [ "$m_has_repl" != 1 ]; then
    echo "mutants.list: mutant $m_name lacks file, find, replace or why" >&2
    exit 2
  fi
  names+=("$m_name") files+=("$m_file") finds+=("$m_find") repls+=("$m_repl")
  whys+=("$m_why") accepts+=("$m_accept")
  m_name=""
}
m_name=""
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    '#'* | '') continue ;;
    'mutant: '*)
      add_mutant
      m_name=${line#mutant: } m_file="" m_find="" m_repl="" m_has_repl=0 m_why="" m_accept=""
      ;;
    'file: '*) m_file=${line#file: } ;;
    'find: '*) m_find=${line#find: } ;;
    'find+ '*) m_find+=$'\n'${line#find+ } ;;
    'find+') m_find+=$'\n' ;;
    'replace:') m_repl="" m_has_repl=1 ;;
    'replace: '*) m_repl=${line#replace: } m_has_repl=1 ;;
    'replace+ '*) m_repl+=$'\n'${line#replace+ } ;;
    'why: '*) m_why=${line#why: } ;;
    'survives: '*) m_accept=${line#survives: } ;;
    *) echo "mutants.list: cannot read: $line" >&2; exit 2 ;;
  esac
done <"$list"
add_mutant
total=${#names[@]}
dups=$(printf '%s\n' "${names[@]}" | sort | uniq -d)
[ -n "$dups" ] && { echo "mutants.list: names used twice: $dups" >&2; exit 2; }

selected=()
for i in "${!names[@]}"; do
  if [ -z "$only" ] || grep -Eq -- "$only" <<<"${names[$i]} ${files[$i]}"; then selected+=("$i"); fi
done
if [ "$sample" -gt 0 ] && [ "$sample" -lt ${#selected[@]} ]; then
  mapfile -t selected < <(printf '%s\n' "${selected[@]}" | shuf -n "$sample" | sort -n)
fi
[ ${#selected[@]} -eq 0 ] && { echo "no mutant matches" >&2; exit 2; }
full_run=0
[ -z "$only" ] && [ ${#selected[@]} -eq "$total" ] && full_run=1

# Replaces the one occurrence of $FIND in FILE by $REPLACE (into OUT); exit
# status 3 with the count when it is not exactly one.
apply() {  # find replace file out
  FIND=$1 REPLACE=$2 perl -0777 -ne '
    my ($f, $r) = ($ENV{FIND}, $ENV{REPLACE});
    my $n = () = /\Q$f\E/g;
    if ($n != 1) { print STDERR "found $n times\n"; exit 3 }
    my $i = index($_, $f);
    substr($_, $i, length $f) = $r;
    print' "$3" >"$4"
}

# ---- The scratch copy: this tree's files (tracked, and new ones not ignored),
# copied only when changed, so that builds stay incremental. ----
mkdir -p "$scratch"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  [ -f "$f" ] || continue
  if ! cmp -s "$f" "$scratch/$f"; then
    mkdir -p "$(dirname "$scratch/$f")"
    cp "$f" "$scratch/$f"
  fi
done

bad=0
for i in "${selected[@]}"; do
  if [ ! -f "$scratch/${files[$i]}" ]; then
    echo "MUTANT ${names[$i]}: no file ${files[$i]}" >&2
    bad=1
  elif ! apply "${finds[$i]}" "${repls[$i]}" "$scratch/${files[$i]}" /dev/null 2>"$work/apply.err"; then
    echo "MUTANT ${names[$i]}: its text in ${files[$i]} was $(cat "$work/apply.err")" >&2
    bad=1
  fi
done
[ $bad = 0 ] || { echo "mutants.list no longer follows the code: fix the mutants above" >&2; exit 2; }

echo "=== build (unmutated) ==="
cmake -S "$scratch" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTO_WINDOWS_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

# The fast suite; its JUnit file names the tests that failed.
suite() {  # cap-seconds junit log
  timeout --kill-after=30 "$1" ctest --test-dir "$build" -LE "$labels_out" -j "$jobs" \
    --timeout 300 --stop-on-failure --output-junit "$2" >"$3" 2>&1
}

echo "=== fast suite (unmutated) ==="
start=$SECONDS
if ! suite 3600 "$work/junit-base.xml" "$work/base.log"; then
  grep -E "Failed|Not Run|Timeout" "$work/base.log" | tail -20
  echo "the unmutated suite fails: nothing to measure" >&2
  exit 1
fi
base_s=$((SECONDS - start))
cap_s=$((base_s * 3))
[ $cap_s -lt $((cap_min * 60)) ] && cap_s=$((cap_min * 60))
echo "passed in ${base_s} s; each mutant gets ${cap_s} s"

rows=() killed=0 survived=0 survivors=()
minutes() { awk -v s="$1" 'BEGIN { printf "%.1f", s / 60 }'; }
n=0
for i in "${selected[@]}"; do
  n=$((n + 1))
  name=${names[$i]} file=${files[$i]}
  target=$scratch/$file
  # The scratch copy holds the tree as it was when the check began.
  cp "$target" "$work/original"
  apply "${finds[$i]}" "${repls[$i]}" "$work/original" "$target" || exit 2
  start=$SECONDS
  printf '[%d/%d] %-40s ' "$n" "${#selected[@]}" "$name"
  if ! cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1; then
    cp "$work/original" "$target"
    echo "does not build"
    tail -20 "$work/build.log" >&2
    echo "MUTANT $name does not build: fix it in tools/mutants.list" >&2
    exit 2
  fi
  rm -f "$work/junit.xml"
  suite "$cap_s" "$work/junit.xml" "$work/run-$name.log"
  status=$?
  # A fresh copy (a new time) makes the next build compile the file again.
  cp "$work/original" "$target"
  spent=$((SECONDS - start))
  if [ $status = 0 ]; then
    result=survived by=""
    survived=$((survived + 1))
    survivors+=("$i")
  else
    result=killed
    killed=$((killed + 1))
    if [ $status = 124 ] || [ $status = 137 ]; then
      by="(the run exceeded ${cap_s} s)"
    else
      mapfile -t failed < <(awk -f "$root/tools/lib/ctest-results.awk" "$work/junit.xml" 2>/dev/null |
        sed -n 's/^fail //p')
      by=$(printf '%s\n' "${failed[@]:0:3}" | paste -sd, - | sed 's/,/, /g')
      [ ${#failed[@]} -gt 3 ] && by+=", +$((${#failed[@]} - 3)) more"
      [ -z "$by" ] && by="(ctest failed: $(grep -m1 -iE 'error|fail' "$work/run-$name.log"))"
    fi
  fi
  echo "$result $(minutes $spent) min"
  rows+=("| \`$name\` | \`$file\` | ${whys[$i]} | $result | $by | $(minutes $spent) |")
done
# The last mutated file is back; one more build leaves the scratch build unmutated.
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1

count=${#selected[@]}
rate=$(awk -v k=$killed -v n="$count" 'BEGIN { printf "%.0f", 100 * k / n }')
table() {
  echo "| Mutant | File | Fault planted | Result | Killed by | Minutes |"
  echo "|---|---|---|---|---|---:|"
  printf '%s\n' "${rows[@]}"
}
echo
table
echo
echo "killed $killed of $count ($rate %); the unmutated suite took $(minutes $base_s) min"
for i in "${survivors[@]}"; do
  echo "SURVIVED: ${names[$i]}: ${accepts[$i]:-not explained: add a test that catches it, or say in the list why it survives}"
done

# ---- docs/reliability.md: a full run writes the section; a partial run with
# --update-doc puts its rows in place of theirs and counts the table again. ----
doc=docs/reliability.md
begin="<!-- mutants: written by tools/mutants.sh -->"
end="<!-- end of mutants -->"
here="$(git rev-parse --short HEAD)$(git diff --quiet HEAD || echo ' with changes')"
write_section() {  # FULL_RUN_DATE FULL_RUN_COMMIT REFRESHED (rows in all_rows)
  local k=0 all=0 i
  for i in "${!all_rows[@]}"; do
    all=$((all + 1))
    case ${all_rows[$i]} in *"| killed |"*) k=$((k + 1)) ;; esac
  done
  {
    echo "$begin"
    echo "## Mutation check"
    echo
    echo "Written by \`bash tools/mutants.sh\` from a run on $1 at commit"
    echo "$2 ($(nproc) cores); rerun it to refresh this section."
    [ -n "$3" ] && echo "Rows refreshed since by \`--only ... --update-doc\` runs: $3."
    echo "Each mutant of \`tools/mutants.list\` plants one fault a reviewer might plant; the fast"
    echo "suite (every test but the labels windows, fuzz and sweep; $(minutes $base_s) min unmutated) runs"
    echo "against it and stops at the first failing test, so the tests named are the first that"
    echo "caught it, not all that would."
    echo
    echo "**Killed $k of $all mutants ($(awk -v k=$k -v n=$all 'BEGIN { printf "%.0f", 100 * k / n }') %).**"
    echo
    echo "| Mutant | File | Fault planted | Result | Killed by | Minutes |"
    echo "|---|---|---|---|---|---:|"
    printf '%s\n' "${all_rows[@]}"
    echo
    local said=0
    for i in "${!all_rows[@]}"; do
      case ${all_rows[$i]} in *"| killed |"*) continue ;; esac
      [ $said = 0 ] && { echo "Survivors, and why they are accepted:"; echo; said=1; }
      echo "- \`${names[$i]}\`: ${accepts[$i]:-not explained yet}"
    done
    [ $said = 1 ] && echo
    echo "$end"
  } >"$work/section.md"
  write_doc_section "$doc" "$work/section.md"
}
all_rows=()
if [ $full_run = 1 ]; then
  all_rows=("${rows[@]}")
  write_section "$(date -u +%Y-%m-%d)" "$here" ""
  echo "docs/reliability.md: mutation section written"
elif [ $update_doc = 1 ]; then
  section=$(awk -v b="$begin" -v e="$end" '$0 == b { on = 1 } on { print } $0 == e { on = 0 }' "$doc")
  [ -n "$section" ] || { echo "mutants: $doc has no section to update: run them all first" >&2; exit 2; }
  full_date=$(sed -n 's/.*from a run on \([0-9-]*\) at commit$/\1/p' <<<"$section")
  full_commit=$(grep -A1 'from a run on' <<<"$section" | tail -1 | sed 's/ ([0-9]* cores).*//')
  refreshed=$(sed -n 's/^Rows refreshed since by .* runs: \(.*\)\.$/\1/p' <<<"$section")
  declare -A old_rows=() new_rows=()
  while IFS= read -r line; do
    old_rows[$(cut -d'`' -f2 <<<"$line")]=$line
  done < <(grep '^| `' <<<"$section")
  n=0
  for i in "${selected[@]}"; do
    new_rows[${names[$i]}]=${rows[$n]}
    refreshed+="${refreshed:+, }\`${names[$i]}\` ($here)"
    n=$((n + 1))
  done
  for i in "${!names[@]}"; do
    name=${names[$i]}
    all_rows+=("${new_rows[$name]:-${old_rows[$name]:-| \`$name\` | \`${files[$i]}\` | ${whys[$i]} | not run | | |}}")
  done
  write_section "$full_date" "$full_commit" "$refreshed"
  echo "docs/reliability.md: rows of this run put into the mutation section"
fi
[ $survived = 0 ] || [ -z "$(for i in "${survivors[@]}"; do [ -z "${accepts[$i]}" ] && echo x; done)" ]
