#!/bin/sh
# Plug-in whose "hang" command never ends: it records its own pid and that of a child it
# waits for, so a test can tell whether both are gone.
case "$1" in
  --get) echo "mode=auto" ;;
  --hang) sleep 3600 & echo "$$ $!" > "$CORVANE_RECORD.hang"; wait ;;
esac
