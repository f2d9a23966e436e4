#!/bin/sh
# Runs a command in a private network and mount namespace: loopback only, up, with the multicast
# range and the default route on it, and a fresh tmpfs over each directory named with --tmpfs
# (made on the host first when missing). Whatever the command starts reaches nothing beyond
# loopback, and the directories are the host's own again once it ends. Needs root.
# Usage: scripts/netns.sh [--tmpfs DIR]... [--] COMMAND [ARG]...
set -eu
dir=""
for arg in "$@"; do
  if [ -n "$dir" ]; then
    mkdir -p "$arg"
    dir=""
    continue
  fi
  case $arg in
    --tmpfs) dir=1 ;;
    *) break ;;
  esac
done
[ -z "$dir" ] || { echo "netns.sh: --tmpfs needs a directory" >&2; exit 2; }
exec unshare --net --mount --propagation private sh -c '
  set -e
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  ip route add default dev lo
  while [ "${1:-}" = --tmpfs ]; do
    mount -t tmpfs tmpfs "$2"
    shift 2
  done
  [ "${1:-}" != -- ] || shift
  [ $# -gt 0 ] || { echo "netns.sh: no command" >&2; exit 2; }
  exec "$@"
' netns "$@"
