#!/bin/bash
# Dynamic tunnels: gwB opens a tunnel socket that accepts strangers; gwA,
# which gwB knows nothing of, opens a tunnel to it and joins a group, and
# the group then flows both ways.
# Usage: dynamic.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2

G=239.1.8.1 P=5080 SIZE=60
tb_gw_start gwA
tb_gw_start gwB
tb_gw_must gwB corvex_createDynamicTunnelSocket >/dev/null
tb_gw_group gwB $G $P 16
tb_recv_start hostA $G $P "$TB_DIR/atA"
tb_recv_start hostB $G $P "$TB_DIR/atB"

knows_gwA() { [ "$(tb_gw gwB corvex_listUDPtunnelEndpoints)" = "$TB_WAN_A" ]; }

# Test that gwA's first datagram makes gwB open a tunnel for it, and that
# gwA learns gwB's cookie from the answer.
tb_check "gwB counts one dynamic tunnel socket" [ "$(tb_gw gwB corvex_numDynamicTunnelSockets)" = 1 ]
tb_gw_tunnel gwA tB "$TB_WAN_B"
tb_gw_group gwA $G $P 16
tb_gw_must gwA "corvex_joinGroup \$::tB $G $P 16" >/dev/null
tb_check "gwB opens a tunnel for gwA" tb_wait 5 knows_gwA
tb_check "gwA gets an answer from gwB" tb_wait 5 tb_count_above gwA tB 0

# Test that hostA's stream reaches hostB through the dynamic tunnel.
tb_check "hostA's 100 datagrams reach hostB" tb_stream_crosses hostA hostB $G $P $SIZE 100

# Test that hostB's traffic reaches hostA once gwB has obeyed one of gwA's
# JOINs (the first one opened the tunnel but carried no valid cookie; gwA
# sends it again as soon as gwB's PROBE_ACK has taught it the cookie).
printf 'ping %-54s\n' "" >"$TB_DIR/ping"
ping_crosses() {
  tb_send hostB $G $P "$TB_DIR/ping" $SIZE
  sleep 0.5
  [ -s "$TB_DIR/atA" ]
}
tb_check "hostB's datagrams reach hostA within 30 seconds" tb_wait 30 ping_crosses
tb_check "hostB's 100 datagrams reach hostA" tb_stream_crosses hostB hostA $G $P $SIZE 100
tb_done
