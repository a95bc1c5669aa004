#!/bin/bash
# Relaying between two sites: numbered streams cross the tunnel byte for
# byte, in order, none missing and none duplicated, in both directions at
# once, and datagrams of every size up to those the WAN must fragment.
# Usage: relay.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2

G=239.1.2.3 P=5004
tb_pair
tb_pair_group $G $P
tb_recv_start hostA $G $P "$TB_DIR/atA"
tb_recv_start hostB $G $P "$TB_DIR/atB"

# Test that a stream from hostA to hostB and one from hostB to hostA, sent
# at the same time, both arrive complete and unchanged. Each gateway draws
# a new cookie every 64 tunnel writes, while the other is sending to it;
# the sockets' traces name any datagram dropped for a stale cookie.
tb_gw_must gwA 'corvex_setDebugLevel sockets 3' >/dev/null
tb_gw_must gwB 'corvex_setDebugLevel sockets 3' >/dev/null
tb_records "$TB_DIR/fromA" fromA 1 300 100
tb_records "$TB_DIR/fromB" fromB 1 300 100
tb_send_bg hostA $G $P "$TB_DIR/fromA" 100 200
sender=$TB_LASTPID
tb_send hostB $G $P "$TB_DIR/fromB" 100 200
wait "$sender"
tb_wait 10 tb_has_bytes "$TB_DIR/atB" 30000
tb_wait 10 tb_has_bytes "$TB_DIR/atA" 30000
tb_settle
tb_check "hostA's 300 datagrams reach hostB in order, each once" tb_same "$TB_DIR/fromA" "$TB_DIR/atB"
tb_check "hostB's 300 datagrams reach hostA in order, each once" tb_same "$TB_DIR/fromB" "$TB_DIR/atA"
for gw in gwA gwB; do
  stale=$(grep -c "cookie mismatch" "${TB_GWERR[$gw]}")
  [ "$stale" -gt 0 ] && echo "# $gw dropped $stale datagrams for a stale cookie"
  tb_gw_must $gw 'corvex_setDebugLevel sockets 1' >/dev/null
done

# Test that datagrams of 1 byte, of 1316 bytes (whose trailer still fits a
# 1500-byte WAN) and of 4000 bytes (which the WAN fragments) cross whole.
for size in 1 1316 4000; do
  : >"$TB_DIR/atB"
  if [ $size -eq 1 ]; then
    printf 'x' >"$TB_DIR/sized"
    tb_exec hostA socat -u -b 1 "OPEN:$TB_DIR/sized" \
      "UDP4-DATAGRAM:$G:$P,ip-multicast-loop=0,ip-multicast-ttl=16" 2>>"$TB_DIR/socat.err"
  else
    tb_records "$TB_DIR/sized" "size$size" 1 20 $size
    tb_send hostA $G $P "$TB_DIR/sized" $size 100
  fi
  tb_wait 10 tb_has_bytes "$TB_DIR/atB" "$(tb_size "$TB_DIR/sized")"
  tb_settle
  tb_check "$size-byte datagrams cross unchanged" tb_same "$TB_DIR/sized" "$TB_DIR/atB"
done

# Test that the gateways count what they relayed: gwA's tunnel has sent at
# least the 300 + 20 + 20 + 1 data datagrams from hostA.
tunnel_sent() {
  local stats
  stats=$(tb_gw gwA 'lindex [corvex_getAllStats] 8') || return 1
  # {address inPackets inBytes outPackets outBytes}
  set -- $stats
  [ "$1" = "$TB_WAN_B" ] && [ "${4%.*}" -ge 341 ]
}
tb_check "gwA's statistics count the datagrams sent through the tunnel" tunnel_sent

tb_gw_exit gwA
tb_check "gwA exits with status 0 when asked" [ "$TB_EXIT_STATUS" -eq 0 ]
tb_done
