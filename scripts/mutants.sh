#!/bin/sh
# Mutation check: does the suite notice when a guard of the daemon is broken? Each mutant below
# is a one-line change found by a pattern (never a line number, so the table survives edits).
# The tree is copied once to a scratch folder and built there; each mutant is applied, the
# scratch build is rebuilt (only the mutated file recompiles), the dev suite runs inside the
# private network namespace, and the file is restored. A mutant the suite passes "survived".
# Not run by CI: it takes about a minute per mutant. Run as root from anywhere:
#   scripts/mutants.sh [NAME...]        (no names: every mutant)
# Exit status: 0 when every mutant was killed, 1 when one survived or could not be applied.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTANTS_DIR:-/tmp/corvane-mutants}
jobs=${MUTANTS_JOBS:-8}

# name | file | perl substitution applied once to the whole file (must change it)
table() {
  cat <<'EOF'
sigkill-at-stop|core/CorvaneCore.cpp|s/\? SIGTERM : SIGKILL\)/? SIGTERM : SIGTERM)/
request-deadline|soap/RequestLimits.h|s/kDeadline\(3\)/kDeadline(20)/
attribute-cap|soap/RequestLimits.h|s/kMaxAttributesPerElement = 64;/kMaxAttributesPerElement = 64000;/
size-cap|soap/RequestLimits.h|s/kMaxBytes = 1024 \* 1024;/kMaxBytes = 64 * 1024 * 1024;/
command-process-group|plugins/CommandProcess.cpp|s/posix_spawnattr_setflags\(&attributes, POSIX_SPAWN_SETPGROUP/posix_spawnattr_setflags(&attributes, 0/
EOF
}

mkdir -p "$scratch"
# The scratch copy is the tree as it stands (uncommitted edits included), without build trees.
tar -C "$src" --exclude=./build --exclude=./.git -cf - . | tar -C "$scratch" -xf -
cd "$scratch"
cmake --preset dev >"$scratch/configure.log" 2>&1
cmake --build --preset dev -j "$jobs" >"$scratch/build.log" 2>&1

run_suite() {
  ./tests/isolated.sh ctest --preset dev -j "$jobs" --stop-on-failure >"$1" 2>&1
}

echo "baseline: running the suite on the unmutated copy"
if ! run_suite "$scratch/baseline.log"; then
  echo "the unmutated suite fails; see $scratch/baseline.log" >&2
  exit 1
fi

status=0
printf '%-24s %s\n' mutant result
table | while IFS='|' read -r name file subst; do
  if [ $# -gt 0 ]; then
    case " $* " in *" $name "*) ;; *) continue ;; esac
  fi
  cp "$file" "$file.orig"
  perl -0pi -e "$subst" "$file"
  if cmp -s "$file" "$file.orig"; then
    printf '%-24s %s\n' "$name" "NOT APPLIED (pattern not found in $file)"
    mv "$file.orig" "$file"
    echo 1 >"$scratch/failed"
    continue
  fi
  if ! cmake --build --preset dev -j "$jobs" >"$scratch/$name.build.log" 2>&1; then
    printf '%-24s %s\n' "$name" "killed (does not build)"
  elif run_suite "$scratch/$name.log"; then
    printf '%-24s %s\n' "$name" "SURVIVED"
    echo 1 >"$scratch/failed"
  else
    failed=$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*\(Failed\|Timeout\).*/\1/p' "$scratch/$name.log" | head -1)
    printf '%-24s %s\n' "$name" "killed ${failed:+by $failed}"
  fi
  mv "$file.orig" "$file"
  # Newer than the mutant's objects, so the next build compiles the original again.
  touch "$file"
done
[ ! -e "$scratch/failed" ] || { rm -f "$scratch/failed"; status=1; }
cmake --build --preset dev -j "$jobs" >"$scratch/build.log" 2>&1
exit $status
