#!/bin/sh
# Builds the fuzz targets (preset fuzz: clang-14 in build/fuzz) and runs each for SECONDS
# (default 20) inside a private network and mount namespace (scripts/netns.sh); exits non-zero
# when any target crashes.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]   (needs clang-14 libclang-rt-14-dev, root)
# Binaries: build/fuzz/fuzz/<target>; logs and crash artifacts: build/fuzz/runs/<target>/.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-20}
[ $# -gt 0 ] && shift
build="$root/build/fuzz"
all="fuzz_config fuzz_utilities fuzz_plugin_description fuzz_shell_words fuzz_wsdd fuzz_soap fuzz_xml_reader"
targets=${*:-$all}

mkdir -p "$root/build"
(cd "$root" && cmake --preset fuzz) >"$build.cfg.log" 2>&1 || { cat "$build.cfg.log"; exit 1; }
built=""
for t in $targets; do
  if (cd "$root" && cmake --build --preset fuzz --target "$t") >"$build.$t.log" 2>&1; then
    built="$built $t"
  else
    echo "BUILD FAILED: $t (see $build.$t.log)"; tail -5 "$build.$t.log"; status=1
  fi
done

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
work="$build/runs"
mkdir -p "$work"
# Each target gets a scratch copy of its seeds, so the committed corpus only grows by hand.
"$root/scripts/netns.sh" --tmpfs /var/lib/corvane --tmpfs /tmp/downloads --tmpfs /run -- sh -c '
  set -u
  # The targets keep their fixture directories here, never in the host'"'"'s /tmp (which may
  # hold this very checkout, so it is not hidden behind a tmpfs either).
  rm -rf "'"$work"'/tmp"; mkdir -p "'"$work"'/tmp"; export TMPDIR="'"$work"'/tmp"
  failed=0
  for t in '"$built"'; do
    rm -rf "'"$work"'/$t"; mkdir -p "'"$work"'/$t/corpus" "'"$work"'/$t/artifacts"
    [ -d "'"$here"'/corpus/$t" ] && cp -r "'"$here"'/corpus/$t/." "'"$work"'/$t/corpus/"
    if [ -d "'"$here"'/regressions/$t" ]; then
      for r in "'"$here"'/regressions/$t"/*; do
        [ -f "$r" ] || continue
        "'"$build"'/fuzz/$t" "$r" >"'"$work"'/$t/regression.log" 2>&1 || { echo "REGRESSION $t: $r"; failed=1; }
      done
    fi
    if "'"$build"'/fuzz/$t" -max_total_time='"$seconds"' -max_len=8192 -timeout=10 -rss_limit_mb=4096 \
         -artifact_prefix="'"$work"'/$t/artifacts/" "'"$work"'/$t/corpus" >"'"$work"'/$t/log" 2>&1; then
      echo "ok    $t: $(grep -a -o "#[0-9]*.*DONE.*" "'"$work"'/$t/log" | tail -1)"
    else
      echo "CRASH $t: $(ls "'"$work"'/$t/artifacts/" | head -3)  log: '"$work"'/$t/log"; failed=1
    fi
  done
  exit $failed
' || status=1
exit ${status:-0}
