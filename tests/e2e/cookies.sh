#!/bin/bash
# Cookies: when gwB's process is restarted it has new cookies; gwA's next
# datagrams are answered with PROBE_ACK, both ends learn each other's
# cookie again and the flow resumes in both directions without anyone
# touching gwA.
# Usage: cookies.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2
tb_pair

G=239.1.6.1 P=5060 SIZE=70
tb_pair_group $G $P
tb_recv_start hostA $G $P "$TB_DIR/atA"
tb_recv_start hostB $G $P "$TB_DIR/atB"

# in_order file: true when the record numbers in the file only increase
# (none duplicated or reordered; gaps are allowed).
in_order() { awk '$2 <= last { print "# record " $2 " after " last; bad = 1 } { last = $2 } END { exit bad }' "$1"; }
records() { echo $(($(tb_size "$1") / SIZE)); }
has_records() { [ "$(records "$1")" -ge "$2" ]; }

# Test that a stream from hostA survives a restart of gwB's process: the
# datagrams after the restart reach hostB again, and gwA has accepted
# datagrams from the new gwB (the PROBE_ACKs that teach it the new cookie).
tb_records "$TB_DIR/fromA" fromA 1 3000 $SIZE
tb_send_bg hostA $G $P "$TB_DIR/fromA" $SIZE 100
sender=$TB_LASTPID
tb_wait 10 has_records "$TB_DIR/atB" 100 || tb_die "the stream did not start"
before=$(tb_gw_activity gwA tB)
tb_gw_kill gwB
tb_gw_start gwB
tb_gw_tunnel gwB tA "$TB_WAN_A"
tb_gw_group gwB $G $P 16
tb_gw_must gwB "corvex_joinGroup \$::tA $G $P 16" >/dev/null
at_restart=$(records "$TB_DIR/atB")
tb_check "the stream reaches hostB again after gwB's restart" \
  tb_wait 15 has_records "$TB_DIR/atB" $((at_restart + 200))
after=$(tb_gw_activity gwA tB)
tb_check "gwA accepted datagrams from the restarted gwB" [ "$after" -gt "$before" ]
kill "$sender" 2>/dev/null
wait "$sender" 2>/dev/null
tb_settle
tb_check "hostB got every record at most once and in order" in_order "$TB_DIR/atB"

# Test that the other direction works with the new cookies too, without
# a single loss.
tb_check "hostB's stream reaches hostA through the restarted gwB" \
  tb_stream_crosses hostB hostA $G $P $SIZE 100
tb_done
