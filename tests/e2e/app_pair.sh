#!/bin/bash
# Two sites run as a user runs them: gwA from its command line, gwB from a
# configuration file. A plain group crosses both ways, an RTP group carries
# its port pair, a source-specific group carries its source only, and gwB
# logs a summary line per peer every second.
# Usage: app_pair.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2

G=239.1.10.1 P=5100         # plain
R=239.1.10.2 RP=5200        # RTP: 5200 and 5201
S=232.1.10.3 SP=5300        # source-specific, from hostA
SOURCE=$TB_HOST_A OTHER=10.201.1.3

cat >"$TB_DIR/b.conf" <<EOF
# site B: every option as a line, without its dashes
port 10100
group $G:$P
group $R:$RP/rtp   # and $((RP + 1))

group $SOURCE@$S:$SP
probe-interval 1
stats 1
peer $TB_WAN_A
EOF
tb_app_start gwA --group $G:$P -g $R:$RP/rtp -g $SOURCE@$S:$SP --probe-interval 1 "$TB_WAN_B"
tb_app_start gwB --config "$TB_DIR/b.conf"

# Test that each gateway reports the other up, and that gwB's start line
# shows what its configuration file holds.
tb_check "gwA logs gwB up" tb_app_peer_up gwA "$TB_WAN_B:10100"
tb_check "gwB logs gwA up" tb_app_peer_up gwB "$TB_WAN_A:10100"
tb_check "gwB's start line names its peer and groups" tb_app_logged gwB \
  "peers: $TB_WAN_A:10100; groups: $SOURCE@$S:$SP, $G:$P, $R:$RP/rtp"

# Test that the plain group crosses both ways, whole and in order.
tb_recv_start hostA $G $P "$TB_DIR/atA"
tb_recv_start hostB $G $P "$TB_DIR/atB"
tb_check "hostA's 200 datagrams reach hostB" tb_stream_crosses hostA hostB $G $P 300 200
tb_check "hostB's 200 datagrams reach hostA" tb_stream_crosses hostB hostA $G $P 300 200

# Test that an RTP group carries both of its ports.
tb_recv_start hostB $R $RP "$TB_DIR/atB"
tb_check "RTP port $RP crosses" tb_stream_crosses hostA hostB $R $RP 200 50
tb_recv_start hostB $R $((RP + 1)) "$TB_DIR/atB"
tb_check "RTCP port $((RP + 1)) crosses" tb_stream_crosses hostA hostB $R $((RP + 1)) 200 50

# Test that the source-specific group carries its source and no other.
tb_recv_start hostB $S $SP "$TB_DIR/atB"
tb_check "the source's datagrams reach hostB" tb_stream_crosses hostA hostB $S $SP 200 50
tb_exec hostA ip addr add "$OTHER/24" dev lan0
tb_records "$TB_DIR/other" other 1 20 200
: >"$TB_DIR/atB"
tb_send hostA $S $SP "$TB_DIR/other" 200 200 "$OTHER"
tb_settle
tb_check "another source's datagrams do not" tb_empty "$TB_DIR/atB"

# Test that --stats logs a summary line per peer with the traffic seen.
stats_counted() { tb_app_log gwB | grep -q "stats: peer $TB_WAN_A:10100 up; in .*(2[0-9][0-9] datagrams"; }
tb_check "gwB logs a summary of its peer every second" tb_wait 5 stats_counted
tb_done
