#!/bin/sh
# Plug-in that misbehaves: floods its output, closes it early, dies by a signal, or writes
# without end (lines, or one line that never ends).
case "$1" in
  --flood) seq -f 'line%06g' 1 200000 ;;
  --early) echo first; exec 1>&-; sleep 1; echo "late" 2>/dev/null ;;
  --killed) echo before; kill -KILL $$; echo after ;;
  --endless) echo $$ > "$CORVANE_RECORD.endless"; yes 'endless output line' ;;
  --endless-line) echo $$ > "$CORVANE_RECORD.endless"; tr '\0' x < /dev/zero ;;
esac
