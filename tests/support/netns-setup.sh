#!/bin/sh
# Lays out the private network namespace that socket tests run in. Run it
# only inside a namespace the test has just created: it never touches the
# host's own network.
#
#   lo   127.0.0.1
#   vt0  10.99.0.1/24  <-veth->  vt1  10.99.0.2/24
#        multicast route 224.0.0.0/4 via vt0
#
# Both veth ends stay in the same namespace, so 10.99.0.1 is this "host"'s
# own address and 10.99.0.2 a second local address usable as a peer.
set -e
ip link set lo up
ip link add vt0 type veth peer name vt1
ip addr add 10.99.0.1/24 dev vt0
ip addr add 10.99.0.2/24 dev vt1
ip link set vt0 up
ip link set vt1 up
ip route add 224.0.0.0/4 dev vt0
