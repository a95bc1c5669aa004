#!/bin/bash
# Groups on demand: gwA and gwB run "veldra --igmp PEER" (gwB with its
# groups narrowed and a short query interval), hostA sends streams on the
# default port, and receivers on LAN B (socat sockets on hostB and on a
# second host hostB2; their kernels send the reports and leaves) make gwB
# carry exactly what they join. What crosses the WAN is counted by an
# nftables rule per stream on gwB's WAN side, the streams being told apart
# by their datagram sizes.
#
# Prints two figures: the delay from a receiver's join to its first
# datagram, and from its leave to the last datagram of the group on the WAN.
# Usage: app_igmp.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
TB_NEEDS="socat nft curl"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2
tb_host_add hostB2 B 10.201.2.3/24
HOST_B2=10.201.2.3 OTHER=10.201.1.3
tb_exec hostA ip addr add "$OTHER/24" dev lan0

P=5004                  # a default --igmp-ports port
G1=239.1.20.1 SIZE1=201 # joined before gwB starts
G2=239.1.20.2 SIZE2=202 # joined and left
G3=239.1.20.3 SIZE3=203 # two receivers
S4=232.1.20.4 SIZE4=204 SIZE4X=214 # source-specific: from hostA; from OTHER
G5=239.1.21.5 SIZE5=205 # outside gwB's --igmp-groups
G6=239.1.20.6 SIZE6=206 G7=239.1.20.7 SIZE7=207 # two groups on one port

# Count, on gwB's WAN side, the tunnel datagrams of each stream: its
# payload, the 12-byte trailer (16 source-specific) and the UDP header.
{
  echo "table ip count { chain in { type filter hook input priority 0;"
  for size in $SIZE1 $SIZE2 $SIZE3 $SIZE5; do
    echo "iifname wan0 udp length $((size + 20)) counter comment \"s$size\""
  done
  for size in $SIZE4 $SIZE4X; do
    echo "iifname wan0 udp length $((size + 24)) counter comment \"s$size\""
  done
  echo "}"
  echo "}"
} | tb_exec gwB nft -f - || tb_die "cannot set up the nftables counters"
# wan_count size: the stream's datagrams that reached gwB from the WAN.
wan_count() {
  tb_exec gwB nft list chain ip count in | sed -nE "s/.*packets ([0-9]+) .*comment \"s$1\".*/\1/p"
}

# stream host group size [source]: sends numbered datagrams of that size
# to the group, 100 a second for 60 s, in the background.
stream() {
  tb_records "$TB_DIR/stream$3" "s$3" 1 6000 "$3"
  tb_send_bg "$1" "$2" $P "$TB_DIR/stream$3" "$3" 100 "$4"
}

# receive host group file [source]: a receiver on the host (hostB or
# hostB2), waiting until it has joined. For any source, a socat socket that
# appends what it gets to the file; for one source (this socat has no
# source membership), a source-specific groupsock of a veldra that does
# nothing else.
receive() {
  local address=$TB_HOST_B
  [ "$1" = hostB2 ] && address=$HOST_B2
  : >"$3"
  if [ -z "$4" ]; then
    tb_bg "$1" socat -u "UDP4-RECV:$P,reuseaddr,ip-add-membership=$2:$address" "OPEN:$3,append" \
      2>>"$TB_DIR/socat.err"
  else
    echo "groupsock_setReceivingInterfaceAddress $address; groupsock_createSSM $2 $4 $P; vwait forever" \
      >"$3.tcl"
    TB_STDIN=$3.tcl tb_bg "$1" "$VELDRA"
  fi
  local pid=$TB_LASTPID
  tb_wait 5 tb_joined "$1" lan0 "$2" || tb_die "the receiver on $1 did not join $2"
  TB_LASTPID=$pid
}

# ms_since start: milliseconds from a tb_now_us time to now.
ms_since() { echo $((($(tb_now_us) - $1) / 1000)); }

# wan_end size: waits until the stream has not crossed the WAN for 1.5 s
# (20 s at most); prints when it crossed last, as tb_now_us.
wan_end() {
  local count last now deadline=$(($(tb_now_us) + 20000000))
  count=$(wan_count "$1")
  last=$(tb_now_us)
  while now=$(tb_now_us) && [ $((now - last)) -lt 1500000 ] && [ "$now" -lt "$deadline" ]; do
    sleep 0.02
    local c
    c=$(wan_count "$1")
    if [ "$c" != "$count" ]; then count=$c last=$(tb_now_us); fi
  done
  echo "$last"
}

grows() { local before; before=$(tb_size "$1"); sleep 0.5; [ "$(tb_size "$1")" -gt "$before" ]; }
status_json() { tb_exec gwB curl -s --max-time 5 http://127.0.0.1:9100/status.json; }

tb_app_start gwA --igmp --probe-interval 1 "$TB_WAN_B"

# Test that a receiver that joined before gwB started is found by gwB's
# start-up query (its own reports went unheard).
stream hostA $G1 $SIZE1
receive hostB $G1 "$TB_DIR/r1"
r1=$TB_LASTPID
sleep 2
tb_app_start gwB --igmp --igmp-groups 239.1.20.0/24 --igmp-groups 232.1.20.0/24 \
  --igmp-query-interval 10 --probe-interval 1 --status 9100 "$TB_WAN_A"
tb_check "the receiver that joined before gwB started gets the stream" \
  tb_wait 10 tb_has_bytes "$TB_DIR/r1" $((10 * SIZE1))
tb_check "gwB logs the group learned, with its receiver" tb_app_logged gwB \
  "IGMP: learned group $G1 (first receiver $TB_HOST_B); carrying $G1:1234, $G1:5004/rtp"
tb_stop "$r1"

# Test a join and a leave: the stream reaches the receiver at once, and
# soon after the leave nothing more of it crosses the WAN.
stream hostA $G2 $SIZE2
sleep 0.5
start=$(tb_now_us)
receive hostB $G2 "$TB_DIR/r2"
r2=$TB_LASTPID
arrived() { while [ ! -s "$1" ] && [ "$(ms_since "$start")" -lt 5000 ]; do sleep 0.01; done; [ -s "$1" ]; }
tb_check "a receiver that joins gets the stream" arrived "$TB_DIR/r2"
join_ms=$(ms_since "$start")
tb_wait 5 tb_has_bytes "$TB_DIR/r2" $((50 * SIZE2))
left=$(tb_now_us)
tb_stop "$r2"
leave_ms=$((($(wan_end $SIZE2) - left) / 1000))
echo "# figure: join to first datagram $join_ms ms; leave to the group's last datagram on the WAN $leave_ms ms"
tb_check "the stream stops crossing the WAN within 3.5 s of the leave" [ "$leave_ms" -le 3500 ]
tb_check "gwB logs the group dropped at the last leave" \
  tb_app_logged gwB "IGMP: dropped group $G2 (last leave)"

# Test two receivers: when one leaves the stream goes on, when the other
# leaves it stops. The status shows both receivers meanwhile.
stream hostA $G3 $SIZE3
receive hostB $G3 "$TB_DIR/r3a"
r3a=$TB_LASTPID
receive hostB2 $G3 "$TB_DIR/r3b"
r3b=$TB_LASTPID
tb_check "both receivers get the stream" tb_wait 5 tb_has_bytes "$TB_DIR/r3b" $((20 * SIZE3))
two_receivers() { status_json | grep -qF "\"receivers\":[\"$TB_HOST_B\",\"$HOST_B2\"]"; }
tb_check "the status shows the group's two receivers" tb_wait 5 two_receivers
tb_exec gwB curl -s --max-time 5 http://127.0.0.1:9100/metrics >"$TB_DIR/metrics"
tb_check "/metrics counts them" grep -qx "veldra_igmp_receivers{group=\"$G3\"} 2" "$TB_DIR/metrics"
tb_check "the page shows them" [ "$(tb_exec gwB curl -s --max-time 5 http://127.0.0.1:9100/ |
  grep -c ">$TB_HOST_B, $HOST_B2</td>")" = 1 ]
tb_stop "$r3a"
sleep 4
tb_check "after one leave the other still gets the stream" grows "$TB_DIR/r3b"
left=$(tb_now_us)
tb_stop "$r3b"
tb_check "after the other leaves the stream stops crossing within 3.5 s" \
  [ $((($(wan_end $SIZE3) - left) / 1000)) -le 3500 ]
tb_check "gwB learned and dropped that group once each" \
  [ "$(tb_app_log_count gwB "IGMP: learned group $G3 ")/$(tb_app_log_count gwB "IGMP: dropped group $G3 ")" = 1/1 ]

# Test that two groups on one port stay apart: what gwB sends to each
# group on LAN B is that group's stream only, as the sizes of its datagrams
# tell (gwA's sockets of both groups share the port).
stream hostA $G6 $SIZE6
stream hostA $G7 $SIZE7
receive hostB $G6 "$TB_DIR/r6"
r6=$TB_LASTPID
receive hostB $G7 "$TB_DIR/r7"
r7=$TB_LASTPID
sleep 2
tb_exec gwB curl -s --max-time 5 http://127.0.0.1:9100/metrics >"$TB_DIR/metrics"
# sent_out group unit: what gwB sent to the group on LAN B.
sent_out() {
  sed -nE "s/^veldra_group_$2_total\{group=\"$1:$P\",direction=\"out\"\} ([0-9]+)$/\1/p" "$TB_DIR/metrics"
}
only_its_own() {
  local datagrams bytes
  datagrams=$(sent_out "$1" datagrams) bytes=$(sent_out "$1" bytes)
  echo "# $1: $datagrams datagrams, $bytes bytes"
  [ "${datagrams:-0}" -gt 50 ] && [ "$bytes" -eq $((datagrams * $2)) ]
}
tb_check "$G6 carries its own stream only" only_its_own $G6 $SIZE6
tb_check "$G7 carries its own stream only" only_its_own $G7 $SIZE7
tb_stop "$r6"
tb_stop "$r7"

# Test that a source-specific join carries that source's datagrams only.
# (gwB sends them on LAN B from its own address, as it sends every carried
# datagram, so what is checked is what crosses the WAN.)
stream hostA $S4 $SIZE4 "$TB_HOST_A"
stream hostA $S4 $SIZE4X "$OTHER"
receive hostB $S4 "$TB_DIR/r4" "$TB_HOST_A"
crossed() { [ "$(wan_count "$1")" -ge "$2" ]; }
tb_check "the source's stream crosses the WAN" tb_wait 5 crossed $SIZE4 20
tb_check "gwB carries the group from that source" tb_app_logged gwB \
  "IGMP: learned group $S4 (first receiver $TB_HOST_B); carrying $TB_HOST_A@$S4:1234, $TB_HOST_A@$S4:5004/rtp"
tb_check "the other source's stream never crosses the WAN" [ "$(wan_count $SIZE4X)" = 0 ]

# Test that a group outside --igmp-groups is never carried.
stream hostA $G5 $SIZE5
receive hostB $G5 "$TB_DIR/r5"
sleep 3
tb_check "a group outside --igmp-groups does not cross the WAN" [ "$(wan_count $SIZE5)" = 0 ]
tb_check "gwB says once why it does not carry it" [ "$(tb_app_log_count gwB \
  "IGMP: not carrying $G5 for $TB_HOST_B: outside --igmp-groups")" = 1 ]

# Test that what gwA carries for gwB does not look like receivers to gwA's
# own IGMP: its LAN has none, and it learns nothing.
tb_check "gwA learns no group" [ "$(tb_app_log_count gwA "IGMP: learned")" = 0 ]
tb_done
