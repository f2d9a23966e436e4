#!/bin/sh
# A line-based store like the README's example: "--set" writes key=value lines, "--get"
# prints them. Every call's arguments are recorded next to $CORVANE_RECORD's state file.
d=$(dirname "${CORVANE_RECORD:?}")
state="$d/state"
line=""
for a in "$@"; do line="$line[$a]"; done
printf '%s\n' "$line" >> "$CORVANE_RECORD"
[ -f "$state" ] || printf 'mode=auto\nserial=SN-1\nfan.front.limit=5\nfan.vault.limit=7\n' > "$state"
cmd="$1"; shift
case "$cmd" in
  --get) echo "noise on stderr" >&2; cat "$state" ;;
  --set)
    for arg in "$@"; do
      key="${arg%%=*}"; value="${arg#*=}"
      grep -v "^$key=" "$state" > "$state.new"; echo "$key=$value" >> "$state.new"; mv "$state.new" "$state"
      echo "$key=$value"
    done ;;
  --apply) echo "applied" ;;
  --crlines) printf 'mode=x\rserial=SN-1\r\nfan.front.limit=5\n' ;;
  --echo) for a in "$@"; do echo "arg:$a"; done ;;
esac
