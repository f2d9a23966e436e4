#!/bin/sh
# Installs every build and test dependency from Debian 12 packages (run as root).
# Idempotent: quiet and quick when everything is present.
set -e
PKGS="build-essential cmake pkg-config libboost-all-dev libsqlite3-dev sqlite3 \
libxml++2.6-dev gsoap libgsoap-dev libssl-dev zlib1g-dev uuid-dev googletest \
libgtest-dev libgmock-dev iproute2 util-linux net-tools python3 python3-zeep php-cli php-soap \
procps clang-14 libclang-rt-14-dev"
# The node test client needs node and npm; a Node.js installed otherwise, with its own npm, stays.
command -v node >/dev/null 2>&1 || PKGS="$PKGS nodejs"
command -v npm >/dev/null 2>&1 || PKGS="$PKGS npm"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null
