#!/bin/sh
# Installs, as root, the Debian packages that building and running veldra
# need, skipping those already installed; "test" adds what the tests need,
# "demo" what ./run.sh --demo needs, "bench" what the benchmarks need.
# Usage: tools/install-deps.sh [test | demo | bench]
set -e
# tcllib: the scripts' JSON and HTML escaping.
packages="build-essential cmake tcl8.6-dev tcl8.6 tcllib"
if [ "$1" = test ]; then
  # prometheus: promtool checks /metrics; chromium loads the status page;
  # nftables counts what crosses the test-bed's WAN; clang-format checks
  # the C++ layout.
  packages="$packages clang-format libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux socat clang libclang-rt-14-dev prometheus chromium curl nftables"
elif [ "$1" = demo ]; then
  packages="$packages iproute2 util-linux socat curl"
elif [ "$1" = bench ]; then
  packages="$packages iproute2 util-linux socat linux-perf"
fi
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing Debian packages:$missing (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing >/dev/null
