#!/bin/sh
# CI hook for fuzzing: builds the ASan+UBSan libFuzzer targets in build/fuzz, replays the saved
# regressions and runs every target for FUZZ_SECONDS (default 15) each in a private network
# and mount namespace. Non-zero on a build failure, a regression or a new finding; the
# failing input is left under build/fuzz/runs/<target>/artifacts/. Run as root.
set -eu
cd "$(dirname "$0")/.."
exec fuzz/run.sh "${FUZZ_SECONDS:-15}"
