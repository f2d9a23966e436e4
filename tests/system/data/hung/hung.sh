#!/bin/sh
# Plug-in whose commands never end. "hang" records its own pid and that of a child it waits
# for, one line per run, and on SIGTERM records its pid once more before it ends; "escape"
# leaves a grandchild in a session of its own holding the output and ends; "stubborn" leaves
# a child that ignores SIGTERM holding the output; "deaf" ignores SIGTERM itself (and its command's
# shell does too), so only SIGKILL ends it. Each records the pids a test must see gone
# (or end itself, for the one that escaped).
case "$1" in
  --get) echo "mode=auto" ;;
  --hang)
    trap 'echo "$$" >> "$CORVANE_RECORD.hang-terminated"; exit 143' TERM
    sleep 3600 & echo "$$ $!" >> "$CORVANE_RECORD.hang"; wait ;;
  --escape) setsid sh -c 'echo "$$" > "$CORVANE_RECORD.escape"; exec sleep 3600' & ;;
  --stubborn) sh -c 'trap "" TERM; echo "$$" > "$CORVANE_RECORD.stubborn"; exec sleep 3600' & ;;
  --deaf) trap '' TERM; echo "$$" > "$CORVANE_RECORD.deaf"; while :; do sleep 1; done ;;
esac
