# One line per test of CTest JUnit files (ctest --output-junit): "pass NAME",
# "fail NAME" or "skip NAME<TAB>REASON". A test that did not run because its
# fixture failed is a failure; one that skipped itself (SKIP_RETURN_CODE, or
# GoogleTest's SKIPPED) is a skip, its reason the "SKIPPED: " line of its
# output or GoogleTest's message. Used by tools/test.sh and tools/mutants.sh.
function attr(s, key,   r) {
  if (match(s, key "=\"[^\"]*\"")) {
    r = substr(s, RSTART + length(key) + 2)
    return substr(r, 1, index(r, "\"") - 1)
  }
  return ""
}
/<testcase / { name = attr($0, "name"); status = attr($0, "status"); skipmsg = ""; reason = ""; prev = ""; next }
/<skipped message=/ { skipmsg = attr($0, "message"); next }
name != "" {
  line = $0
  sub(/^[ \t]*<system-out>/, "", line)
  if (reason == "" && line ~ /^SKIPPED: /) reason = substr(line, 10)
  if (reason == "" && prev ~ /: Skipped$/ && line != "") reason = line
  prev = line
}
/<\/testcase>/ {
  if (status == "run") print "pass " name
  else if (status == "notrun" && skipmsg ~ /^SKIP_/) print "skip " name "\t" (reason == "" ? "no reason given" : reason)
  else print "fail " name
  name = ""
}
