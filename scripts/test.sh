#!/bin/sh
# Builds the normal and the sanitizer configuration and runs the whole suite in each, inside a
# private network and mount namespace, so nothing the tests start can reach a real network and
# the daemon's fixed paths stay away from the host. Run as root on Debian 12.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for preset in dev asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
mkdir -p /var/lib/corvane /tmp/downloads /run
exec unshare --net --mount --propagation private sh -c '
  set -eu
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  ip route add default dev lo
  mount -t tmpfs tmpfs /var/lib/corvane
  mount -t tmpfs tmpfs /tmp/downloads
  mount -t tmpfs tmpfs /run
  export CORVANE_TEST_NETNS=1
  ctest --preset dev
  ctest --preset asan
'
