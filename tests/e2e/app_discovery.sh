#!/bin/bash
# Session discovery and accepted networks, with gateways run from their
# command lines. gwA lists no peer: it accepts tunnels from 10.200.0.2/32
# only. gwB (10.200.0.2) and gwC (10.200.0.3) both list gwA; gwB gets its
# tunnel, gwC gets nothing at all. A session announced on LAN A is carried
# to site B, announcement and stream; its deletion stops the stream.
# Usage: app_discovery.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 3

SAP=224.2.127.254 SAP_PORT=9875
G=239.1.20.1 P=5200 SIZE=100
ACCEPTED=$TB_WAN_B/32

tb_app_start gwA --sap --accept "$ACCEPTED" --probe-interval 1
tb_app_start gwB --sap --probe-interval 1 "$TB_WAN_A"
tb_app_start gwC --sap --probe-interval 1 "$TB_WAN_A"

# Test that gwB, from the accepted network, gets a tunnel, and that gwC,
# from elsewhere, gets none and no answer, and is refused with a trace.
tb_check "gwA logs gwB's tunnel" tb_wait 5 tb_app_logged gwA \
  "gateway $TB_WAN_B opened a tunnel (accepted network)"
tb_check "gwB sees gwA up" tb_app_peer_up gwB "$TB_WAN_A:10100"
tb_check "gwC sees gwA down" tb_wait 6 tb_app_logged gwC "peer $TB_WAN_A:10100 is down"
tb_check "gwA traces the refusals of gwC" tb_app_logged gwA \
  "datagram(s) from outside the accepted networks, the latest from $TB_WAN_C"
never_accepted() { ! tb_app_logged gwA "gateway $1"; }
tb_check "gwA never accepted gwC" never_accepted "$TB_WAN_C"

# sap_packet file flags description: an announcement (flags 0x20) or a
# deletion (0x24) from hostA, message hash 0x1234, with the payload type.
sap_packet() {
  printf "\\x$2\\x00\\x12\\x34\\x0a\\xc9\\x01\\x02application/sdp\\x00%s" "$3" >"$1"
}
announce() {
  tb_exec hostA socat -u -b 4096 "OPEN:$1" \
    "UDP4-DATAGRAM:$SAP:$SAP_PORT,ip-multicast-loop=0,ip-multicast-ttl=16" 2>>"$TB_DIR/socat.err"
}
DESCRIPTION=$(printf 'v=0\r\no=- 7 1 IN IP4 %s\r\ns=Test session\r\nc=IN IP4 %s/16\r\nt=0 0\r\nm=video %s RTP/AVP 96\r\n' \
  "$TB_HOST_A" $G $P)
sap_packet "$TB_DIR/announcement" 20 "$DESCRIPTION"
sap_packet "$TB_DIR/deletion" 24 "$DESCRIPTION"

# Test that the announcement reaches LAN B itself, that both gateways carry
# the announced group, and that the announced stream crosses to hostB and
# not to hostC.
tb_recv_start hostB $SAP $SAP_PORT "$TB_DIR/sapB"
tb_recv_start hostB $G $P "$TB_DIR/atB"
tb_recv_start hostC $G $P "$TB_DIR/atC"
announce "$TB_DIR/announcement"
SESSION="session \"Test session\" ($TB_HOST_A/4660)"
tb_check "gwA carries the announced group" tb_wait 5 tb_app_logged gwA \
  "session discovery: $SESSION announced; carrying $G:$P/rtp"
tb_check "the announcement reaches LAN B" tb_wait 5 tb_has_bytes "$TB_DIR/sapB" "$(tb_size "$TB_DIR/announcement")"
tb_check "gwB carries the announced group" tb_wait 5 tb_app_logged gwB \
  "session discovery: $SESSION announced; carrying $G:$P/rtp"
tb_check "the announced stream reaches hostB" tb_stream_crosses hostA hostB $G $P $SIZE 50
tb_check "and port $((P + 1)) too" tb_app_logged gwA "carrying $G:$P/rtp"
tb_check "no tunnel, no stream at hostC" tb_empty "$TB_DIR/atC"

# Test that the deletion drops the group at both sites and the stream stops.
announce "$TB_DIR/deletion"
tb_check "gwA drops the group" tb_wait 5 tb_app_logged gwA \
  "session discovery: $SESSION deleted; dropped $G:$P/rtp"
tb_check "gwB drops the group" tb_wait 5 tb_app_logged gwB \
  "session discovery: $SESSION deleted; dropped $G:$P/rtp"
tb_check "gwA leaves the group on its LAN" tb_wait 5 tb_not_joined gwA lan0 $G
: >"$TB_DIR/atB"
tb_records "$TB_DIR/after" after 1 20 $SIZE
tb_send hostA $G $P "$TB_DIR/after" $SIZE
tb_settle
tb_check "after the deletion the stream does not reach hostB" tb_empty "$TB_DIR/atB"
tb_done
