#!/bin/sh
echo "$*" >> "$CORVANE_RECORD"
exit 3
