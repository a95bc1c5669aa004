#!/bin/bash
# Labels: slow
# The real 60-second lapse of a peer membership: the JOIN repeated every 15
# seconds keeps gwB joined for as long as gwA wants the group, and when gwA
# goes silent without a LEAVE, gwB drops the membership 60 seconds after the
# last JOIN it received. Takes about two and a half minutes.
# Usage: lapse.sh path/to/veldra
. "$(dirname "$0")/testbed.sh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2
tb_pair

G=239.1.4.1 P=5050
tb_gw_group gwA $G $P 16
tb_gw_must gwA "corvex_joinGroup \$::tB $G $P 16" >/dev/null
tb_wait 5 tb_joined gwB lan0 $G || tb_die "gwB did not join the group for its peer"

# stays_joined seconds: true when gwB stays joined, checked every second.
stays_joined() {
  local i
  for ((i = 0; i < $1; i++)); do
    tb_joined gwB lan0 $G || { echo "# gwB left after about $i s"; return 1; }
    sleep 1
  done
}

# Test that the repeated JOIN keeps gwB joined well past 60 seconds.
tb_check "gwB stays joined for 75 seconds while gwA keeps joining" stays_joined 75

# Test that, with gwA silent, gwB's membership lapses: not before 60
# seconds after the last JOIN (sent at most 15 seconds before gwA went
# silent), and not much after.
tb_gw_must gwA "corvex_destroy \$::tB" >/dev/null # sends nothing to the peer
silent=$(tb_now_us)
if tb_wait 90 tb_not_joined gwB lan0 $G; then
  waited=$((($(tb_now_us) - silent) / 1000000))
  echo "# gwB left the group $waited s after gwA went silent"
  tb_check "the membership lapses no sooner than 45 s after gwA went silent" [ $waited -ge 44 ]
else
  tb_check "the membership lapses within 90 s after gwA went silent" false
fi

# Test that the lapse deleted the groupsock gwB had made for its peer and
# left its tunnel in place.
no_groupsock() { ! tb_gw gwB 'lindex [corvex_getAllStats] 9' | grep -q $G; }
tb_check "gwB no longer has a groupsock for the group" no_groupsock
tb_check "gwB's tunnel to gwA is still there" tb_quiet tb_gw gwB "corvex_incomingActivityCount \$::tA"
tb_done
