#!/bin/bash
# Three sites, gwA the hub with a tunnel to gwB and one to gwC: a datagram
# sent at any site reaches each other site exactly once and never comes back
# to the site it was sent from.
# Usage: sites3.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 3

G=239.1.5.1 P=5040
tb_gw_start gwA
tb_gw_start gwB
tb_gw_start gwC
tb_gw_tunnel gwA tB "$TB_WAN_B"
tb_gw_tunnel gwA tC "$TB_WAN_C"
tb_gw_tunnel gwB tA "$TB_WAN_A"
tb_gw_tunnel gwC tA "$TB_WAN_A"
tb_tunnel_sync gwA tB gwB tA
tb_tunnel_sync gwA tC gwC tA
for gw in gwA gwB gwC; do tb_gw_group $gw $G $P 16; done
tb_gw_must gwA "corvex_joinGroup \$::tB $G $P 16; corvex_joinGroup \$::tC $G $P 16" >/dev/null
tb_gw_must gwB "corvex_joinGroup \$::tA $G $P 16" >/dev/null
tb_gw_must gwC "corvex_joinGroup \$::tA $G $P 16" >/dev/null
for host in hostA hostB hostC; do tb_recv_start $host $G $P "$TB_DIR/at$host"; done

# Test that a stream sent at each site in turn reaches the two other sites
# complete, in order and once, and that nothing loops back to its sender.
for sender in hostA hostB hostC; do
  for host in hostA hostB hostC; do : >"$TB_DIR/at$host"; done
  tb_records "$TB_DIR/from$sender" "$sender" 1 200 90
  tb_send $sender $G $P "$TB_DIR/from$sender" 90
  for host in hostA hostB hostC; do
    [ $host = $sender ] || tb_wait 10 tb_has_bytes "$TB_DIR/at$host" 18000
  done
  tb_settle
  for host in hostA hostB hostC; do
    if [ $host = $sender ]; then
      tb_check "nothing sent at $sender comes back to it" tb_empty "$TB_DIR/at$host"
    else
      tb_check "$sender's 200 datagrams reach $host exactly once" tb_same "$TB_DIR/from$sender" "$TB_DIR/at$host"
    fi
  done
done
tb_done
