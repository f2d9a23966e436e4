#!/bin/sh
# Fixture plug-in that reports on standard error: under "set -e" a failing write ends it.
set -e
echo "noisy: reading the mode" >&2
echo "mode=quiet"
