# write_doc_section DOC SECTION: puts the text of the file SECTION, whose first
# and last lines are its begin and end markers, in place of the lines between
# those markers in DOC (inclusive), or at DOC's end when DOC has none yet.
# Sourced by the scripts that write their own section of a page.
write_doc_section() {
  local doc=$1 section=$2 begin end
  begin=$(head -n 1 "$section")
  end=$(tail -n 1 "$section")
  if grep -qxF "$begin" "$doc"; then
    awk -v section="$section" -v begin="$begin" -v end="$end" '
      $0 == begin { while ((getline line < section) > 0) print line; skip = 1; next }
      $0 == end { skip = 0; next }
      !skip' "$doc" >"$doc.new"
    mv "$doc.new" "$doc"
  else
    { echo; cat "$section"; } >>"$doc"
  fi
}
