#!/bin/bash
# Tear-down: a gateway that sees multicast sent from its own peer's address
# tears the tunnel down, tells the peer, and both scripts get the
# background error naming the other end and the reason.
# Usage: teardown.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2

G=239.1.7.1 P=5070
tb_pair
tb_recv_start hostB $G $P "$TB_DIR/atB"
tb_recv_start hostA $G $P "$TB_DIR/atA"

endpoints() { tb_gw "$1" corvex_listUDPtunnelEndpoints; }
has_no_tunnel() { [ -z "$(endpoints "$1")" ]; }

# spoof host address: sends one datagram to the group from the host with
# the given source address, as if the peer gateway's own multicast had
# reached this LAN.
spoof() {
  tb_exec "$1" ip addr add "$2/32" dev lan0
  printf 'spoofed %-40s\n' "$2" >"$TB_DIR/spoofed"
  tb_send "$1" $G $P "$TB_DIR/spoofed" 50 10 "$2"
  tb_exec "$1" ip addr del "$2/32" dev lan0
}

# Test that gwA, seeing multicast from gwB's address on LAN A in a groupsock
# of its script's, tears the tunnel down: both tunnels go, gwA reports
# "mcastFromEndpoint", gwB "fromRemote", and the datagram is not relayed.
tb_gw_group gwA $G $P 16
tb_gw_must gwA "corvex_joinGroup \$::tB $G $P 16" >/dev/null
tb_wait 5 tb_joined gwB lan0 $G || tb_die "gwB did not join for its peer"
spoof hostA "$TB_WAN_B"
tb_check "gwB's script gets \"tunnelTearDown ${TB_WAN_A}fromRemote\"" \
  tb_wait 5 tb_gw_bgerror gwB "tunnelTearDown ${TB_WAN_A}fromRemote"
tb_check "gwA's script gets \"tunnelTearDown ${TB_WAN_B}mcastFromEndpoint\"" \
  tb_gw_bgerror gwA "tunnelTearDown ${TB_WAN_B}mcastFromEndpoint"
tb_check "gwA has no tunnel left" has_no_tunnel gwA
tb_check "gwB has no tunnel left" has_no_tunnel gwB
tb_check "gwB left the group it had joined for gwA" tb_wait 5 tb_not_joined gwB lan0 $G
tb_settle
tb_check "the spoofed datagram did not cross" tb_empty "$TB_DIR/atB"

# Test that the gateways carry on: new tunnels between them work.
tb_gw_tunnel gwA tB "$TB_WAN_B"
tb_gw_tunnel gwB tA "$TB_WAN_A"
tb_tunnel_sync gwA tB gwB tA
tb_gw_must gwA "corvex_joinGroup \$::tB $G $P 16" >/dev/null
tb_check "gwB joins again for the new tunnel" tb_wait 5 tb_joined gwB lan0 $G
tb_records "$TB_DIR/fromB" fromB 1 50 60
tb_send hostB $G $P "$TB_DIR/fromB" 60
tb_wait 10 tb_has_bytes "$TB_DIR/atA" 3000
tb_check "traffic crosses the new tunnel" tb_same "$TB_DIR/fromB" "$TB_DIR/atA"

# Test the same seen from the other side, where the groupsock that sees
# the peer's multicast was made by the tunnel itself for its peer, and is
# deleted with the tunnel while it is handling the very datagram.
: >"$TB_DIR/atA"
spoof hostB "$TB_WAN_A"
tb_check "gwA's script gets \"tunnelTearDown ${TB_WAN_B}fromRemote\"" \
  tb_wait 5 tb_gw_bgerror gwA "tunnelTearDown ${TB_WAN_B}fromRemote"
tb_check "gwB's script gets \"tunnelTearDown ${TB_WAN_A}mcastFromEndpoint\"" \
  tb_gw_bgerror gwB "tunnelTearDown ${TB_WAN_A}mcastFromEndpoint"
tb_check "gwA has no tunnel left" has_no_tunnel gwA
tb_check "gwB has no tunnel left" has_no_tunnel gwB
tb_check "gwB left the group with the tunnel's groupsock" tb_wait 5 tb_not_joined gwB lan0 $G
tb_settle
tb_check "the spoofed datagram did not cross" tb_empty "$TB_DIR/atA"
tb_check "gwB still answers commands" tb_quiet tb_gw gwB 'expr {6 * 7}'
tb_done
