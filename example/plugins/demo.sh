#!/bin/sh
# Example plug-in executable: prints its values as key=value lines; "--set" stores them.
# The state file lives next to this script, inside the example.
state="$(dirname "$0")/demo.state"
[ -f "$state" ] || printf 'mode=auto\ntarget=21\n' > "$state"
cmd="$1"; shift
case "$cmd" in
  --get)
    cat "$state"
    echo "serial=SN-0042"
    echo "sensor.inside.temp=20.5"
    echo "sensor.outside.temp=7.0"
    ;;
  --set)
    for arg in "$@"; do
      key="${arg%%=*}"; value="${arg#*=}"
      grep -v "^$key=" "$state" > "$state.new"; echo "$key=$value" >> "$state.new"; mv "$state.new" "$state"
      echo "$key=$value"
    done
    ;;
  --apply)
    echo "applied"
    echo "trigger: InvalidateNodeInfo"
    ;;
  *) echo "unknown command $cmd" ;;
esac
