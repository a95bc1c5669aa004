#!/bin/bash
# Descriptors past 1024: with the limit raised to 4096, gwA's script joins
# 1101 groups through its tunnel to gwB (a groupsock, and so a descriptor,
# each), and gwB opens a groupsock for each of gwA's cookie-valid JOINs on
# its dynamic tunnel socket (its bound on the groups one peer may join is
# raised for this). The last group's groupsocks, made after 1100 others,
# have descriptors above 1100 at both ends, and its datagrams cross both
# ways.
# Usage: descriptors.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
ulimit -n 4096 2>/dev/null || { echo "SKIP: cannot raise the descriptor limit to 4096" >&2; exit 77; }
tb_setup 2

G=239.22.0.1 P=6000 SIZE=60 NGROUPS=1100
tb_gw_start gwA
tb_gw_start gwB
tb_gw_must gwB "corvex_createDynamicTunnelSocket; corvex_tunnelSocketLimits 10100 1024 2000" >/dev/null
tb_gw_tunnel gwA tB "$TB_WAN_B"
tb_gw_must gwA "for {set i 0} {\$i < $NGROUPS} {incr i} {corvex_joinGroup \$::tB 239.21.[expr {\$i / 250}].[expr {\$i % 250 + 1}] $P 16}" >/dev/null
tb_gw_group gwA $G $P 16
tb_gw_must gwA "corvex_joinGroup \$::tB $G $P 16" >/dev/null
tb_recv_start hostA $G $P "$TB_DIR/atA"
tb_recv_start hostB $G $P "$TB_DIR/atB"

descriptors() { ls "/proc/${TB_GWPID[$1]}/fd" | wc -l; }
many_descriptors() { [ "$(descriptors "$1")" -gt $((NGROUPS + 1)) ]; }
tb_check "gwA holds more than $((NGROUPS + 1)) descriptors" many_descriptors gwA
tb_check "gwB opens a groupsock for each of gwA's groups" tb_wait 20 many_descriptors gwB
tb_check "hostA's 100 datagrams reach hostB" tb_stream_crosses hostA hostB $G $P $SIZE 100
tb_check "hostB's 100 datagrams reach hostA" tb_stream_crosses hostB hostA $G $P $SIZE 100
tb_check "gwB refused none of gwA's JOINs" \
  [ "$(tb_gw gwB "dict get [corvex_tunnelSocketStats] joinsOverLimit")" = 0 ]
tb_check "both gateways still run" kill -0 "${TB_GWPID[gwA]}" "${TB_GWPID[gwB]}"
tb_done
