#!/bin/bash
# Three sites run from their command lines, joined as a tree (gwA the hub,
# which relays between its tunnels) and as a full mesh with --mesh: a
# datagram sent at any site reaches each other site exactly once and never
# comes back. A full mesh set up without --mesh must not storm: every
# datagram relayed from one tunnel to another loses one of its time-to-live,
# so copies die out instead of circling for ever.
# Usage: app_sites3.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 3

G=239.1.12.1 P=5120 SIZE=90 COUNT=100
for host in hostA hostB hostC; do tb_recv_start $host $G $P "$TB_DIR/at$host"; done

# each_reaches_the_others shape: a stream sent at each site in turn reaches
# the two other sites complete, in order and once, and nothing comes back
# to its sender.
each_reaches_the_others() {
  local sender host
  for sender in hostA hostB hostC; do
    for host in hostA hostB hostC; do : >"$TB_DIR/at$host"; done
    tb_records "$TB_DIR/from$sender" "$sender" 1 $COUNT $SIZE
    tb_send $sender $G $P "$TB_DIR/from$sender" $SIZE
    for host in hostA hostB hostC; do
      [ $host = $sender ] || tb_wait 10 tb_has_bytes "$TB_DIR/at$host" $((COUNT * SIZE))
    done
    tb_settle
    for host in hostA hostB hostC; do
      if [ $host = $sender ]; then
        tb_check "$1: nothing sent at $sender comes back to it" tb_empty "$TB_DIR/at$host"
      else
        tb_check "$1: $sender's datagrams reach $host exactly once" \
          tb_same "$TB_DIR/from$sender" "$TB_DIR/at$host"
      fi
    done
  done
}

# start_sites shape options...: gwA, gwB and gwC with the options, each
# with its peers for the shape; waits until every gateway sees its peers.
start_sites() {
  local shape=$1 gw
  shift
  if [ "$shape" = tree ]; then
    tb_app_start gwA "$@" "$TB_WAN_B" "$TB_WAN_C"
    tb_app_start gwB "$@" "$TB_WAN_A"
    tb_app_start gwC "$@" "$TB_WAN_A"
    tb_app_peer_up gwB "$TB_WAN_A:10100" && tb_app_peer_up gwC "$TB_WAN_A:10100"
  else
    tb_app_start gwA "$@" "$TB_WAN_B" "$TB_WAN_C"
    tb_app_start gwB "$@" "$TB_WAN_A" "$TB_WAN_C"
    tb_app_start gwC "$@" "$TB_WAN_A" "$TB_WAN_B"
    tb_app_peer_up gwB "$TB_WAN_C:10100" && tb_app_peer_up gwC "$TB_WAN_B:10100"
  fi || tb_die "the $shape does not come up"
  tb_app_peer_up gwA "$TB_WAN_B:10100" && tb_app_peer_up gwA "$TB_WAN_C:10100" ||
    tb_die "the $shape does not come up at gwA"
}

stop_sites() {
  local gw
  for gw in gwA gwB gwC; do
    tb_app_stop $gw
    tb_check "$1: $gw exits with status 0" [ "$TB_EXIT_STATUS" -eq 0 ]
  done
}

start_sites tree -g $G:$P --probe-interval 1
each_reaches_the_others tree
stop_sites tree

start_sites mesh -g $G:$P --probe-interval 1 --mesh
tb_check "the gateways log the full mesh" tb_app_logged gwA "; full mesh"
each_reaches_the_others "full mesh"
stop_sites "full mesh"

# A full mesh without --mesh, with time-to-live 4: a datagram from A goes to
# B and C, which each relay it on to the other with 3, and so on, down to
# 0. So each other site receives it at most 4 times, and then no more.
start_sites mesh -g $G:$P --probe-interval 1 --ttl 4
for host in hostA hostB hostC; do : >"$TB_DIR/at$host"; done
tb_records "$TB_DIR/burst" burst 1 20 $SIZE
tb_send hostA $G $P "$TB_DIR/burst" $SIZE
sleep 2
before=$(($(tb_size "$TB_DIR/athostB") + $(tb_size "$TB_DIR/athostC")))
sleep 2
after=$(($(tb_size "$TB_DIR/athostB") + $(tb_size "$TB_DIR/athostC")))
echo "# figure: 20 datagrams sent at site A in a mesh without --mesh reached B and C $((after / SIZE)) times in all"
tb_check "without --mesh, copies stop coming" [ "$before" -eq "$after" ]
tb_check "without --mesh, each site gets each datagram at most 4 times" \
  [ "$after" -le $((2 * 4 * 20 * SIZE)) ]
tb_check "without --mesh, each site gets each datagram at least once" \
  [ "$after" -ge $((2 * 20 * SIZE)) ]
tb_done
