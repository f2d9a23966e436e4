#!/bin/sh
# bench/run.sh takes its defaults and every group of rows that the README and its own header
# name, and refuses a group it does not know: its argument check alone (--check), nothing
# built or started.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
run=$root/bench/run.sh
fail() { echo "FAIL: $*" >&2; exit 1; }

readme=$(sed -n 's/.*groups of rows among `\([a-z ]*\)`.*/\1/p' "$root/README.md")
header=$(sed -n 's/^# .*(default all: \([a-z ]*\)).*/\1/p' "$run")
[ -n "$readme" ] || fail "README.md lists no groups of rows for BENCH_CASES"
[ -n "$header" ] || fail "bench/run.sh names no default groups in its header"
examples=$(grep -oE 'BENCH_CASES=("[a-z ]+"|[a-z]+)' "$root/README.md" | sed -e 's/^BENCH_CASES=//' -e 's/"//g' | sort -u)

out=$(env -u BENCH_CASES -u BENCH_SECONDS "$run" --check) || fail "defaults refused"
[ "$out" = "bench: would run: $readme" ] || fail "defaults run '${out#bench: would run: }', README lists '$readme'"
[ "$out" = "bench: would run: $header" ] || fail "defaults run '${out#bench: would run: }', header names '$header'"

for groups in $readme $examples "$readme"; do
  out=$(BENCH_CASES=$groups BENCH_SECONDS=4 "$run" --check) || fail "BENCH_CASES=$groups refused"
  [ "$out" = "bench: would run: $groups" ] || fail "BENCH_CASES=$groups runs '$out'"
done

if err=$(BENCH_CASES="logins nosuch" "$run" --check 2>&1); then
  fail "an unknown group passed the check"
fi
[ "$err" = "unknown case group: nosuch" ] || fail "unknown group: '$err'"
echo "bench/run.sh --check: defaults and groups $readme; examples:" $examples
