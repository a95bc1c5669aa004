#!/bin/bash
# The IGMP listener and querier on LAN B, end to end. hostB's receivers are
# ordinary sockets (socat; a source-specific one is a groupsock of a second
# veldra on hostB), so hostB's kernel sends the reports and leaves, in
# version 2 and then in version 3. gwB's listener hands each to its
# procedure. A query that gwB sends is seen by hostB's veldra and answered
# by hostB's kernel.
#
#   hostB lan0 10.201.2.2 ------------ lan0 10.201.2.1 gwB
#   socat receivers, veldra observer    veldra listening and querying
#
# Usage: igmp.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2

# Both veldras record every call of their IGMP procedure in ::igmpEvents as
# the list {kind from group sources info}.
RECORD='proc onIgmp {args} {lappend ::igmpEvents $args}; set ::igmpEvents {}'
tb_gw_start gwB
tb_gw_must gwB "$RECORD" >/dev/null
tb_check "gwB listens on its LAN and answers with its address" \
  [ "$(tb_gw gwB 'igmp_listen lan0 onIgmp')" = "$TB_GW_B" ]
tb_gw_start hostB
tb_gw_must hostB "$RECORD; igmp_listen lan0 onIgmp" >/dev/null

# igmp_seen who event: true once the procedure of who has been called with
# exactly the words of event (a Tcl list).
igmp_seen() { [ "$(tb_gw "$1" "expr {[list $2] in \$::igmpEvents}")" = 1 ]; }
igmp_forget() { tb_gw_must "$1" 'set ::igmpEvents {}' >/dev/null; }
# force_version n: hostB's kernel speaks IGMP version n on LAN B.
force_version() { tb_exec hostB sysctl -q -w "net.ipv4.conf.lan0.force_igmp_version=$1"; }

# Test that a version 2 join and leave reach gwB's procedure.
force_version 2
tb_recv_start hostB 239.1.5.1 5000 "$TB_DIR/v2"
receiver=$TB_LASTPID
tb_check "a v2 join on hostB is a join event at gwB" \
  tb_wait 5 igmp_seen gwB "join $TB_HOST_B 239.1.5.1 {} {version 2}"
tb_stop "$receiver"
tb_check "its leave is a leave event" \
  tb_wait 5 igmp_seen gwB "leave $TB_HOST_B 239.1.5.1 {} {version 2}"

# Test that version 3 state changes reach it as their record types: a plain
# join and leave, and a source-specific join.
force_version 3
tb_recv_start hostB 239.1.5.2 5000 "$TB_DIR/v3"
receiver=$TB_LASTPID
tb_check "a v3 join is a to_ex record" \
  tb_wait 5 igmp_seen gwB "to_ex $TB_HOST_B 239.1.5.2 {} {version 3}"
tb_stop "$receiver"
tb_check "its leave is a to_in record with no sources" \
  tb_wait 5 igmp_seen gwB "to_in $TB_HOST_B 239.1.5.2 {} {version 3}"
tb_gw_must hostB "groupsock_setReceivingInterfaceAddress $TB_HOST_B; groupsock_createSSM 232.1.5.3 $TB_HOST_A 5000" >/dev/null
tb_check "a source-specific join is an allow record naming the source" \
  tb_wait 5 igmp_seen gwB "allow $TB_HOST_B 232.1.5.3 $TB_HOST_A {version 3}"

# Test that gwB's queries reach hostB with what they say, and that hostB's
# kernel answers them with its memberships.
tb_recv_start hostB 239.1.5.4 5000 "$TB_DIR/kept"
igmp_forget gwB
tb_gw_must gwB 'igmp_sendQuery 3 0.0.0.0 1000' >/dev/null
tb_check "hostB sees gwB's general query" tb_wait 5 igmp_seen hostB \
  "query $TB_GW_B 0.0.0.0 {} {version 3 maxResponseMs 1000 robustness 2 queryInterval 125 suppress 0}"
tb_check "hostB's kernel answers it with its current memberships" \
  tb_wait 5 igmp_seen gwB "is_ex $TB_HOST_B 239.1.5.4 {} {version 3}"
tb_gw_must gwB "igmp_sendQuery 2 239.1.5.4" >/dev/null
tb_check "hostB sees a v2 group-specific query" tb_wait 5 igmp_seen hostB \
  "query $TB_GW_B 239.1.5.4 {} {version 2 maxResponseMs 1000 robustness 0 queryInterval 0 suppress 0}"
tb_check "gwB does not hear its own queries" \
  [ "$(tb_gw gwB "lsearch -index 0 \$::igmpEvents query")" = -1 ]
tb_check "gwB counts the queries it sent and nothing malformed" \
  [ "$(tb_gw gwB 'set s [igmp_stats]; format %s/%s [dict get $s queriesSent] [dict get $s malformed]')" = 2/0 ]
tb_check "igmp_stop ends the listening" tb_quiet tb_gw gwB igmp_stop
tb_done
