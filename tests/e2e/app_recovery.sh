#!/bin/bash
# Faults and endings, with gateways run from their command lines: a tunnel
# torn down comes back by itself; a peer killed and restarted is logged
# down and up once each, and the flow resumes within one probe interval;
# SIGTERM makes the peer stop sending at once and ends with status 0, and
# so does SIGINT. The group is configured at gwA only: gwB sends what its
# LAN has of it only because gwA asked. Prints the measured figures as
# "# figure:" lines.
# Usage: app_recovery.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2

G=239.1.11.1 P=5110 SIZE=100
A=$TB_WAN_A:10100 B=$TB_WAN_B:10100
start_gwA() { tb_app_start gwA -g $G:$P --probe-interval 1 "$TB_WAN_B"; }
start_gwB() { tb_app_start gwB --probe-interval 1 "$TB_WAN_A"; }
start_gwA
start_gwB
tb_app_peer_up gwA $B || tb_die "gwA does not see gwB up"
tb_recv_start hostA $G $P "$TB_DIR/atA"
tb_recv_start hostB $G $P "$TB_DIR/atB"
tb_check "hostA's stream reaches hostB" tb_stream_crosses hostA hostB $G $P $SIZE 50
tb_check "hostB's stream reaches hostA (gwA asked gwB for it)" \
  tb_stream_crosses hostB hostA $G $P $SIZE 50

# Test that a tunnel torn down (gwA sees multicast from gwB's own address on
# its LAN) is logged with its reason at both ends and re-created by both.
tb_exec hostA ip addr add "$TB_WAN_B/32" dev lan0
printf 'spoofed %-91s\n' "" >"$TB_DIR/spoofed"
tb_send hostA $G $P "$TB_DIR/spoofed" $SIZE 10 "$TB_WAN_B"
tb_exec hostA ip addr del "$TB_WAN_B/32" dev lan0
tb_check "gwA logs the tear-down and its reason" tb_wait 5 tb_app_logged gwA \
  "the tunnel to $B was torn down: multicast sent from the peer's own address"
tb_check "gwB logs the tear-down by its peer" tb_wait 5 tb_app_logged gwB \
  "the tunnel to $A was torn down by the peer; re-creating it in 1.0 s"
tb_check "gwA re-creates its tunnel" tb_wait 5 tb_app_logged gwA "the tunnel to $B is re-created"
tb_check "gwB re-creates its tunnel" tb_wait 5 tb_app_logged gwB "the tunnel to $A is re-created"
# Once both see the other up again, each knows the other's new cookie.
up_again() { [ "$(tb_app_log_count "$1" "peer $2 is up")" -ge 2 ]; }
tb_check "gwA sees gwB up again" tb_wait 5 up_again gwA $B
tb_check "gwB sees gwA up again" tb_wait 5 up_again gwB $A
tb_check "hostA's stream crosses the new tunnel" tb_stream_crosses hostA hostB $G $P $SIZE 50
tb_check "hostB's stream crosses the new tunnel" tb_stream_crosses hostB hostA $G $P $SIZE 50

# first_arrival file since_us: waits (10 s at most) until the file grows
# and prints the milliseconds from since_us to then.
first_arrival() {
  tb_wait 10 tb_has_bytes "$1" 1 || return 1
  echo $((($(tb_now_us) - $2) / 1000))
}

# Test that gwB killed is logged down once, restarted is logged up once,
# and that both directions flow again within one probe interval (1 s) of
# the restart, while both hosts keep sending.
tb_records "$TB_DIR/longA" longA 1 3000 $SIZE
tb_records "$TB_DIR/longB" longB 1 3000 $SIZE
tb_send_bg hostA $G $P "$TB_DIR/longA" $SIZE 200
tb_send_bg hostB $G $P "$TB_DIR/longB" $SIZE 200
downs=$(tb_app_log_count gwA "peer $B is down") ups=$(tb_app_log_count gwA "peer $B is up")
tb_gw_kill gwB
tb_check "gwA logs gwB down" tb_wait 6 tb_app_logged gwA "peer $B is down: nothing received for 3 s"
: >"$TB_DIR/atA"
: >"$TB_DIR/atB"
restarted=$(tb_now_us)
start_gwB
toB=$(first_arrival "$TB_DIR/atB" "$restarted")
toA=$(first_arrival "$TB_DIR/atA" "$restarted")
echo "# figure: after gwB's restart, first datagram at hostB after ${toB:-never} ms, at hostA after ${toA:-never} ms (from the restart command; gwB logs its start line at $(tb_app_log gwB | head -1 | cut -c12-19))"
tb_check "after the restart hostB receives again within 1 s" [ "${toB:-99999}" -le 1000 ]
tb_check "after the restart hostA receives again within 1 s" [ "${toA:-99999}" -le 1000 ]
tb_check "gwA logs gwB up again" tb_app_peer_up gwA $B
tb_settle
tb_check "gwA logged gwB down once and up once meanwhile" [ \
  "$(tb_app_log_count gwA "peer $B is down")/$(tb_app_log_count gwA "peer $B is up")" = \
  "$((downs + 1))/$((ups + 1))" ]

# Test that SIGTERM makes gwA tell gwB, which stops sending at once (it
# leaves the LAN group it had joined for gwA), and that gwA ends with
# status 0 shortly after.
tb_wait 5 tb_joined gwB lan0 $G || tb_die "gwB is not joined to $G for gwA"
tb_wait 5 tb_has_bytes "$TB_DIR/atA" 1000 || tb_die "hostB's stream does not reach hostA"
stopped=$(tb_now_us)
kill -TERM "${TB_GWPID[gwA]}"
tb_wait 5 tb_not_joined gwB lan0 $G
left=$((($(tb_now_us) - stopped) / 1000))
last=$(tb_size "$TB_DIR/atA") lastChange=$stopped
while ! tb_gone "${TB_GWPID[gwA]}" && [ $(($(tb_now_us) - stopped)) -lt 5000000 ]; do
  size=$(tb_size "$TB_DIR/atA")
  if [ "$size" -ne "$last" ]; then last=$size lastChange=$(tb_now_us); fi
  sleep 0.01
done
ended=$((($(tb_now_us) - stopped) / 1000))
wait "${TB_GWPID[gwA]}"
status=$?
echo "# figure: after SIGTERM to gwA, gwB left the group after $left ms, hostA's last datagram came $((($lastChange - stopped) / 1000)) ms after the signal, gwA ended after $ended ms"
tb_check "gwB leaves the group within 200 ms of the SIGTERM" [ "$left" -le 200 ]
tb_check "nothing reaches hostA after 200 ms" [ $((lastChange - stopped)) -le 200000 ]
tb_check "gwA exits with status 0" [ "$status" -eq 0 ]
tb_check "gwA ends within 2 s of the signal" [ "$ended" -le 2000 ]
tb_check "gwA logs why it stops" tb_app_logged gwA "stopping on SIGTERM: 1 peer(s) told to stop sending 1 group(s)"

# Test that SIGINT ends a gateway with status 0 too.
kill -INT "${TB_GWPID[gwB]}"
tb_wait 5 tb_gone "${TB_GWPID[gwB]}"
wait "${TB_GWPID[gwB]}"
tb_check "gwB exits with status 0 on SIGINT" [ $? -eq 0 ]
tb_done
