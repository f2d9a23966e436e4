#!/bin/sh
# Builds the normal and the sanitizer configuration and runs the whole suite in each, inside a
# private network and mount namespace (tests/isolated.sh), so nothing the tests start can reach
# a real network and the daemon's fixed paths stay away from the host. Run as root on Debian 12.
# Each stage is framed by a line when it starts and one with its result ("=== test.sh: ..."),
# so a failure can be found in the output; the first stage that fails ends the run.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

stage() {
  name=$1
  shift
  started=$(date +%s)
  echo "=== test.sh: $name: started"
  status=0
  "$@" || status=$?
  took=$(($(date +%s) - started))
  if [ "$status" -ne 0 ]; then
    echo "=== test.sh: $name: FAILED, status $status after $took s"
    exit "$status"
  fi
  echo "=== test.sh: $name: passed in $took s"
}

for preset in dev asan; do
  stage "$preset build" sh -c "cmake --preset $preset >/dev/null && cmake --build --preset $preset"
done
# Each ctest run writes build/<preset>/ctest-results.xml; a skipped test fails the stage too.
for preset in dev asan; do
  stage "$preset tests" sh -c "./tests/isolated.sh ctest --preset $preset --output-junit ctest-results.xml &&
    ./scripts/no-skips.sh build/$preset/ctest-results.xml"
done
# The concurrency tests under ThreadSanitizer, and every fuzz target for a short while.
stage "tsan" ./scripts/tsan.sh
stage "fuzz" ./scripts/fuzz-ci.sh
