#!/bin/sh
# Not executable: the shell cannot run it.
echo "mode=auto"
