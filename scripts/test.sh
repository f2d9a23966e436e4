#!/bin/sh
# Builds the normal and the sanitizer configuration and runs the whole suite in each, inside a
# private network and mount namespace (tests/isolated.sh), so nothing the tests start can reach
# a real network and the daemon's fixed paths stay away from the host. Run as root on Debian 12.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for preset in dev asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# Each ctest run writes build/<preset>/ctest-results.xml; a skipped test fails the command too.
./tests/isolated.sh sh -c '
  set -eu
  ctest --preset dev --output-junit ctest-results.xml
  ctest --preset asan --output-junit ctest-results.xml
'
./scripts/no-skips.sh build/dev/ctest-results.xml build/asan/ctest-results.xml
# The concurrency tests under ThreadSanitizer, and every fuzz target for a short while.
./scripts/tsan.sh
./scripts/fuzz-ci.sh
