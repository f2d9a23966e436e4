#!/bin/sh
# Fails when ctest skipped a test. ctest counts a skip as a pass, but the test command runs as
# root inside a private namespace, where every test can set itself up; one that skipped there
# hid what it should have checked. Reads the files `ctest --output-junit` wrote and names each
# skipped test with the reason it gave.
set -eu
status=0
for results in "$@"; do
  if [ ! -s "$results" ]; then
    echo "no test results in $results" >&2
    status=1
    continue
  fi
  skipped=$(awk '
    /<testcase / { match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7); skip = 0; why = "" }
    /<skipped/ { skip = 1 }
    skip && why == "" && /: Skipped$/ { getline why }
    /<\/testcase>/ && skip { print "  " name ": " why }
  ' "$results")
  if [ -n "$skipped" ]; then
    echo "tests skipped ($results):" >&2
    echo "$skipped" >&2
    status=1
  fi
done
exit "$status"
