#!/bin/sh
# Fixture plug-in for the daemon tests.
cmd="$1"; shift
case "$cmd" in
  --get) echo "mode=auto"; echo "label=Grüße"; echo "speed=3"; echo "secret=42" ;;
  --set) for a in "$@"; do echo "set $a"; done ;;
  --apply) echo "applied"; echo "trigger: InvalidateNodeInfo" ;;
  # Runs until the test creates $CORVANE_RECORD.go (at most 60 s), then answers.
  --slow) i=0; while [ ! -e "$CORVANE_RECORD.go" ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done
          [ -e "$CORVANE_RECORD.go" ] && echo "slow done" ;;
  --fds) n=0; for f in /proc/$$/fd/*; do case "$(readlink "$f")" in socket:*) n=$((n+1));; esac; done; echo "sockets=$n" ;;
  --echo) for a in "$@"; do echo "arg:$a"; done ;;
  --poison) printf 'mode=a\357\277\276b\001c\355\240\200d\377\n' ;;
esac
