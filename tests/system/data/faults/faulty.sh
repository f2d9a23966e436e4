#!/bin/sh
# Plug-in that misbehaves: floods its output, closes it early, or dies by a signal.
case "$1" in
  --flood) seq -f 'line%06g' 1 200000 ;;
  --early) echo first; exec 1>&-; sleep 1; echo "late" 2>/dev/null ;;
  --killed) echo before; kill -KILL $$; echo after ;;
esac
