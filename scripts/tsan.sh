#!/bin/sh
# Builds the concurrency test programs (ctest label `concurrency`: the logger, the worker pool,
# the variant cache, plug-in commands, Hellos from several threads and concurrent logins) with
# ThreadSanitizer (preset tsan, build/tsan) and runs every test in them, one process per test as
# ctest does. Programs that multicast run in network namespaces of their own (tests/isolated.sh).
# Any report stops its test with TSan's exit code, so the run fails. Run as root.
set -eu
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target concurrency_tests
# TSAN_OPTIONS (halt_on_error, second_deadlock_stack, scripts/tsan.supp) come from the test preset.
log=build/tsan/tsan-tests.log
status=0
ctest --preset tsan -L concurrency --output-junit ctest-results.xml >"$log" 2>&1 || status=$?
grep -a "SUMMARY: ThreadSanitizer" "$log" | sort | uniq -c || true
tail -12 "$log"
[ "$status" -eq 0 ] || echo "full output: $log"
[ "$status" -ne 0 ] || ./scripts/no-skips.sh build/tsan/ctest-results.xml || status=$?
exit "$status"
