#!/bin/sh
# Action that never ends: records its pid, then sleeps.
echo "$$" > "$CORVANE_RECORD.linger"
exec sleep 3600
