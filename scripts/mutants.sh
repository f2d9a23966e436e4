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
stop-final-bound|core/CorvaneCore.cpp|s/if \(connections > 0\)\n(\s*)return false;/if (false)\n$1return false;/
sigkill-at-stop|core/CorvaneCore.cpp|s/CommandProcess::SignalAll\(SIGKILL\);/CommandProcess::SignalAll(SIGTERM);/
abandon-at-stop|core/CorvaneCore.cpp|s/CommandProcess::AbandonAll\(\);//
sigterm-first-at-stop|core/CorvaneCore.cpp|s/if \(now < killAt\) \{/if (false) {/
signals-repeated-at-stop|core/CorvaneCore.cpp|s/while \(!WaitIdle\(std::min\(Clock::now\(\) \+ kSignalRepeat, giveUpAt\)\)\)/while (!WaitIdle(giveUpAt))/
command-process-group|plugins/CommandProcess.cpp|s/posix_spawnattr_setflags\(&attributes, POSIX_SPAWN_SETPGROUP/posix_spawnattr_setflags(&attributes, 0/
request-deadline|soap/RequestLimits.h|s/kDeadline\(3\)/kDeadline(20)/
request-deadline-doubled|soap/RequestLimits.h|s/kDeadline\(3\)/kDeadline(6)/
deadline-per-read|soap/RequestReader.cpp|s/if \(!started_\) \{/if (true) {/
attribute-cap|soap/RequestLimits.h|s/kMaxAttributesPerElement = 64;/kMaxAttributesPerElement = 64000;/
namespace-cap|soap/RequestLimits.h|s/kMaxNamespacesInScope = 64;/kMaxNamespacesInScope = 64000;/
size-cap|soap/RequestLimits.h|s/kMaxBytes = 1024 \* 1024;/kMaxBytes = 64 * 1024 * 1024;/
size-cap-doubled|soap/RequestLimits.h|s/kMaxBytes = 1024 \* 1024;/kMaxBytes = 2 * 1024 * 1024;/
inflated-size-cap|soap/RequestReader.cpp|s/if \(BeyondSizeCap\(out\.size\(\)\)\) \{/if (out.size() > 2 * RequestLimits::kMaxBytes) {/
strict-chunk-decoder|soap/ChunkDecoder.cpp|s/case Step::kDataCr:\n(\s*)if \(c != '\\r'\)/case Step::kDataCr:\n$1if (false)/
faultcode-form|soap/RequestReader.cpp|s/return soap_sender_fault\(ctx_, text, escaped\);/return soap_receiver_fault(ctx_, text, escaped);/
fault-detail-escaped|soap/RequestReader.cpp|s/AppendXmlEscaped\(xml, \*c\);/xml += *c;/
canonical-body|soap/RequestReader.cpp|s/body.swap\(reading.canonical\);//
reader-forbidden-characters|soap/XmlReader.cpp|s/if \(!Utf8::IsXmlChar\(c\) && c != kSetconfigSeparator\)/if (false)/
reader-setconfig-separator|soap/XmlReader.cpp|s/if \(!Utf8::IsXmlChar\(c\) && c != kSetconfigSeparator\)/if (!Utf8::IsXmlChar(c))/
reader-comment-dashes|soap/XmlReader.cpp|s/if \(p_ \+ 2 >= in_.size\(\) \|\| in_\[p_ \+ 2\] != '>'\)/if (false)/
reader-element-prefix|soap/XmlReader.cpp|s/const std::string_view uri = Resolve\(name, true\);/const std::string_view uri = open_.empty() ? Resolve(name, true) : std::string_view();/
faultcode-http|soap/RequestReader.cpp|s/return soap_set_sender_error\(ctx_, nullptr, problem, status\);/return soap_set_receiver_error(ctx_, nullptr, problem, status);/
half-close-answer|soap/RequestReader.cpp|s/ctx->fpoll = &Poll;/ctx->fpoll = runtimePoll_;/
refused-body-drain|soap/RequestReader.cpp|s/if \(self->unread_ && soap_valid_socket\(ctx->socket\)\)/if (false)/
multi-reference-off|soap/SoapServer.cpp|s/soap_set_imode\(this, SOAP_XML_TREE\);/soap_set_imode(this, 0);/
malformed-credentials|soap/SoapServer.cpp|s/if \(reader_->CredentialsMalformed\(\)\)/if (false)/
output-limit|plugins/PluginExec.cpp|s/if \(outputBytes > CommandLimits::kMaxOutputBytes\)/if (false)/
busy-plugin-answer|soap/SoapServer.cpp|s/return this->error = 503;/return this->error = 500;/
busy-plugin-yield|soap/SoapServer.cpp|s/\[connections\] \{ return connections->YieldWorker\(\); \}/[] { return false; }/
yield-place-given-back|soap/ConnectionRegistry.cpp|s/while \(yielded > 0 && /while (yielded < 0 && /
yield-count-below-zero|soap/ConnectionRegistry.cpp|s/while \(yielded > 0 && /while (/
yield-one-place-each|soap/ConnectionRegistry.cpp|s/if \(waiting_\.load\(\) <= yielded\)/if (waiting_.load() < yielded)/
closed-connection-kept|soap/ConnectionRegistry.cpp|s/sockets_\.erase\(key\);//
busy-plugin-patience|plugins/CommandLimits.h|s/kBusyPatience\(1\)/kBusyPatience(5)/
busy-user-database|auth/SQLite.cpp|s/kBusyTimeoutMs = 2000;/kBusyTimeoutMs = 0;/
close-log-result|core/Logger.cpp|s/        logFd_ = -1;\n        return closed;/        return closed;/
download-share|soap/DownloadLimits.h|s/kWorkersPerDownload = 2;/kWorkersPerDownload = 1;/
waiting-connections-cap|core/CorvaneCore.cpp|s/kMaxWaitingConnections = 64;/kMaxWaitingConnections = 64000;/
deferred-accept|core/CorvaneCore.cpp|s/kDeferAcceptSeconds = 30;/kDeferAcceptSeconds = 0;/
accept-pause|core/CorvaneCore.cpp|s/acceptPause = kAcceptPauseMicros;/acceptPause = 0;/
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
printf '%-26s %s\n' mutant result
table | while IFS='|' read -r name file subst; do
  if [ $# -gt 0 ]; then
    case " $* " in *" $name "*) ;; *) continue ;; esac
  fi
  cp "$file" "$file.orig"
  perl -0pi -e "$subst" "$file"
  if cmp -s "$file" "$file.orig"; then
    printf '%-26s %s\n' "$name" "NOT APPLIED (pattern not found in $file)"
    mv "$file.orig" "$file"
    echo 1 >"$scratch/failed"
    continue
  fi
  if ! cmake --build --preset dev -j "$jobs" >"$scratch/$name.build.log" 2>&1; then
    printf '%-26s %s\n' "$name" "killed (does not build)"
  elif run_suite "$scratch/$name.log"; then
    printf '%-26s %s\n' "$name" "SURVIVED"
    echo 1 >"$scratch/failed"
  else
    # The first few tests that failed, so a kill can be traced to what caught it.
    failed=$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*\(Failed\|Timeout\).*/\1/p' "$scratch/$name.log" |
      head -3 | tr '\n' ' ')
    printf '%-26s %s\n' "$name" "killed ${failed:+by $failed}"
  fi
  mv "$file.orig" "$file"
  # Newer than the mutant's objects, so the next build compiles the original again.
  touch "$file"
done
[ ! -e "$scratch/failed" ] || { rm -f "$scratch/failed"; status=1; }
cmake --build --preset dev -j "$jobs" >"$scratch/build.log" 2>&1
exit $status
