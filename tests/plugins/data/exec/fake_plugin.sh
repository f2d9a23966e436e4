#!/bin/sh
# Fake plug-in executable: records its arguments (and for setconfig its input) and its pid
# under $FAKE_DIR, prints $FAKE_DIR/output and exits with the code in $FAKE_DIR/exit.
d=${FAKE_DIR:?FAKE_DIR not set}
line=""
for a in "$@"; do line="$line[$a]"; done
echo "$$" >> "$d/pids"
printf '%s\n' "$line" >> "$d/calls"
case "$1" in
  setconfig) cat > "$d/stdin" ;;
  fail) exit 3 ;;
  hold) sleep "$2" ;;
  slow-*)
    start=$(date +%s%N)
    if [ -e "$d/peer" ]; then
      # Wait for the other plug-in's command: it only comes if both may run at once.
      touch "$d/started.$1"
      other=slow-a; [ "$1" = slow-a ] && other=slow-b
      i=0
      while [ ! -e "$d/started.$other" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
    else
      sleep 0.2
    fi
    printf '%s %s %s\n' "$1" "$start" "$(date +%s%N)" >> "$d/intervals" ;;
esac
[ -f "$d/output" ] && cat "$d/output"
[ -f "$d/exit" ] && exit "$(cat "$d/exit")"
exit 0
