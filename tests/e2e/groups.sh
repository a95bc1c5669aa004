#!/bin/bash
# Source-specific and RTP joins through a tunnel: only the chosen source's
# datagrams cross, and one RTP join carries both ports p and p + 1, in both
# directions; two groups on one port each carry only their own datagrams,
# whichever sender they come from.
# Usage: groups.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2
tb_pair

# Test that a source-specific join carries the chosen source's datagrams
# and none of another source sending to the same group and port.
S=232.1.1.1 SP=5010 OTHER=10.201.1.3
tb_exec hostA ip addr add $OTHER/24 dev lan0
tb_gw_must gwA "set ::ssm [groupsock_createSSM $S $TB_HOST_A $SP]; groupsock_turnOnBackgroundReadHandling \$::ssm" >/dev/null
tb_gw_must gwA "corvex_joinGroupSSM \$::tB $S $TB_HOST_A $SP 16" >/dev/null
tb_check "gwB joins the source-specific group on LAN B for its peer" tb_wait 5 tb_joined gwB lan0 $S
tb_recv_start hostB $S $SP "$TB_DIR/ssmAtB"
tb_records "$TB_DIR/chosen" chosen 1 100 80
tb_records "$TB_DIR/other" other 1 100 80
# The other source sends first: once the chosen source's last datagram
# has arrived, any of the other's would have arrived before it.
tb_send hostA $S $SP "$TB_DIR/other" 80 200 $OTHER
tb_send hostA $S $SP "$TB_DIR/chosen" 80 200 $TB_HOST_A
tb_wait 10 tb_has_bytes "$TB_DIR/ssmAtB" 8000
tb_check "only the chosen source's 100 datagrams reach hostB" tb_same "$TB_DIR/chosen" "$TB_DIR/ssmAtB"

# Test that one corvex_joinRTPGroup makes the pair p and p + 1 cross both
# ways: gwA reads both ports itself; gwB only obeys the join.
R=239.1.2.4 RP=5020 RP1=5021
tb_gw_group gwA $R $RP 16
tb_gw_group gwA $R $RP1 16
tb_gw_must gwA "corvex_joinRTPGroup \$::tB $R $RP 16" >/dev/null
tb_check "gwB joins the RTP group on LAN B for its peer" tb_wait 5 tb_joined gwB lan0 $R
for port in $RP $RP1; do
  tb_recv_start hostA $R $port "$TB_DIR/rtpAtA$port"
  tb_recv_start hostB $R $port "$TB_DIR/rtpAtB$port"
done
for port in $RP $RP1; do
  tb_records "$TB_DIR/rtpA$port" "A$port" 1 100 80
  tb_records "$TB_DIR/rtpB$port" "B$port" 1 100 80
  tb_send hostA $R $port "$TB_DIR/rtpA$port" 80
done
for port in $RP $RP1; do
  tb_send hostB $R $port "$TB_DIR/rtpB$port" 80
done
for port in $RP $RP1; do
  tb_wait 10 tb_has_bytes "$TB_DIR/rtpAtB$port" 8000
  tb_wait 10 tb_has_bytes "$TB_DIR/rtpAtA$port" 8000
done
tb_settle
for port in $RP $RP1; do
  tb_check "RTP port $port: hostA's stream reaches hostB" tb_same "$TB_DIR/rtpA$port" "$TB_DIR/rtpAtB$port"
  tb_check "RTP port $port: hostB's stream reaches hostA" tb_same "$TB_DIR/rtpB$port" "$TB_DIR/rtpAtA$port"
done
# Test that two groups read by gwA on one port each carry their own
# datagrams and only those, from many senders (each datagram from a socket
# of its own, so from a port of its own): the kernel must not hand one
# group's datagram to the other group's socket.
G3=239.1.2.5 G4=239.1.2.6 GP=5030
for group in $G3 $G4; do
  tb_gw_group gwA $group $GP 16
  tb_gw_must gwA "corvex_joinGroup \$::tB $group $GP 16" >/dev/null
  tb_wait 5 tb_joined gwB lan0 $group || tb_die "gwB did not join $group"
  # Bound to the group itself: a socket of socat reads every group its host joined.
  : >"$TB_DIR/at$group"
  tb_bg hostB socat -u "UDP4-RECV:$GP,bind=$group,reuseaddr,ip-add-membership=$group:$TB_HOST_B" \
    "OPEN:$TB_DIR/at$group,append" 2>>"$TB_DIR/socat.err"
done
tb_wait 5 tb_joined hostB lan0 $G4 || tb_die "socat receivers in hostB did not join"
: >"$TB_DIR/expect$G3"
: >"$TB_DIR/expect$G4"
for i in $(seq -w 1 20); do
  for group in $G3 $G4; do
    printf '%s %s\n' "$group" "$i" | tee -a "$TB_DIR/expect$group" |
      tb_exec hostA socat -u STDIN "UDP4-DATAGRAM:$group:$GP,ip-multicast-loop=0,ip-multicast-ttl=16"
  done
done
tb_wait 10 tb_has_bytes "$TB_DIR/at$G4" "$(tb_size "$TB_DIR/expect$G4")"
tb_settle
tb_check "$G3 carries its 20 datagrams from 20 senders, and only those" tb_same "$TB_DIR/expect$G3" "$TB_DIR/at$G3"
tb_check "$G4 carries its 20 datagrams from 20 senders, and only those" tb_same "$TB_DIR/expect$G4" "$TB_DIR/at$G4"
tb_done
