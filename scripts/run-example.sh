#!/bin/sh
# Installs the dependencies, builds the daemon and runs it in the foreground on the example
# configuration, plug-in directory and user database. Stop it with Ctrl-C. Run as root.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target corvaned
rm -f example/users.sqlite
sqlite3 example/users.sqlite < example/users.sql
mkdir -p /var/lib/corvane
exec ./build/release/core/corvaned -c example/corvaned.conf
