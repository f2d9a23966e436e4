#!/bin/sh
# Installs the dependencies, builds the daemon and runs it in the foreground on the example
# configuration, plug-in directory and user database. Says where it logs and when it listens.
# Stop it with Ctrl-C. Run as root.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset release >/dev/null
# The daemon, and the WSDL and schema for client authors (build/release/soap/soap_gen/).
cmake --build --preset release --target corvaned corvane_soap_contract
rm -f example/users.sqlite
sqlite3 example/users.sqlite < example/users.sql
mkdir -p /var/lib/corvane

conf=example/corvaned.conf
port=$(sed -n 's/^port *= *//p' "$conf")
log=$(sed -n 's/^logfile *= *//p' "$conf")
echo "run-example: starting corvaned on port $port; its log is $(pwd)/$log"
./build/release/core/corvaned -c "$conf" &
pid=$!
# Ctrl-C, or SIGTERM to this script, stops the daemon as well.
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM
while kill -0 "$pid" 2>/dev/null && ! ss -Hltnp "sport = :$port" | grep -q "pid=$pid,"; do
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "run-example: corvaned is ready at http://localhost:$port/ (Ctrl-C stops it)"
fi
status=0
wait "$pid" || status=$?
# A trapped signal ends the wait early; the daemon is still stopping then.
if kill -0 "$pid" 2>/dev/null; then
    status=0
    wait "$pid" || status=$?
fi
[ "$status" = 0 ] || echo "run-example: corvaned ended with status $status; see $(pwd)/$log" >&2
exit "$status"
