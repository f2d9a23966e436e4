#!/bin/sh
# Runs one test program in a network and mount namespace of its own: loopback only, with a
# multicast route, and fresh tmpfs over the daemon's fixed directories. Tests that multicast
# therefore never see each other's datagrams or identity files, however many run at once.
# Listing the tests (at build time) sends nothing and runs without the namespace.
case " $* " in
  *" --gtest_list_tests "*) exec "$@" ;;
esac
mkdir -p /var/lib/corvane /tmp/downloads /run
exec unshare --net --mount --propagation private sh -c '
  set -e
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  ip route add default dev lo
  for d in /var/lib/corvane /tmp/downloads /run; do mount -t tmpfs tmpfs "$d"; done
  exec "$@"
' isolated "$@"
