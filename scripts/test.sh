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
./tests/isolated.sh sh -c '
  set -eu
  ctest --preset dev
  ctest --preset asan
'
# The concurrency tests under ThreadSanitizer, and every fuzz target for a short while.
./scripts/tsan.sh
./scripts/fuzz-ci.sh
