#!/bin/sh
# Runs one test program in a network and mount namespace of its own (scripts/netns.sh), with
# fresh tmpfs over the daemon's fixed directories. Tests that multicast therefore never see
# each other's datagrams or identity files, however many run at once.
# Listing the tests (at build time) sends nothing and runs without the namespace.
case " $* " in
  *" --gtest_list_tests "*) exec "$@" ;;
esac
exec "$(dirname "$0")/../scripts/netns.sh" --tmpfs /var/lib/corvane --tmpfs /tmp/downloads --tmpfs /run -- "$@"
