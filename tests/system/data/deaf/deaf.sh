#!/bin/sh
# Action that ignores SIGTERM and never ends: records its pid, then waits.
trap '' TERM
echo "$$" > "$CORVANE_RECORD.deaf"
while :; do sleep 1; done
