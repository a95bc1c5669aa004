#!/bin/bash
# scale.sh -- one gateway at scale: 1000 groups and 100 tunnels. Measures
# the process's start-up time, the time to set it all up, and its resident
# memory and descriptors at start, once set up, and after a minute of
# running (the JOIN repetitions of all 1000 memberships firing). Runs in
# the test-bed of tests/e2e/testbed.sh (gwA; the tunnels go to ports of
# gwB's address, where nothing answers). Asserts nothing; the goal for the
# memory is under 8 MiB.
#
# Usage (as root, from anywhere):
#   bench/scale.sh [--write] [--groups N] [--tunnels N] [--build-dir DIR]
#     --write   also append the figures to bench/SCALE.md

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
write=no groups=1000 tunnels=100 build=$top/build/bench
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --write) write=yes ;;
    --groups) groups=$2; shift ;;
    --tunnels) tunnels=$2; shift ;;
    --build-dir) build=$2; shift ;;
    *) echo "usage: bench/scale.sh [--write] [--groups N] [--tunnels N] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$VLD_TB_INNER" ]; then
  set -e
  "$top/tools/install-deps.sh"
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELDRA_TESTS=OFF >/dev/null
  cmake --build "$build" --target veldra -j"$(nproc)" >/dev/null
  set +e
fi

. "$top/tests/e2e/testbed.sh"
TB_NEEDS=awk
tb_enter "$0" "${args[@]}"
case $build in /*) ;; *) build=$top/$build ;; esac
VELDRA=$build/veldra
tb_setup 2

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/${TB_GWPID[gwA]}/status"; }
fds() { ls "/proc/${TB_GWPID[gwA]}/fd" | wc -l; }
# in_gateway script: the script's run time inside the gateway, in ms with
# three decimals; nothing (and the gateway's answer on standard error) when
# it failed.
in_gateway() {
  local us
  if us=$(tb_gw gwA "lindex [time {$1}] 0"); then
    printf '%d.%03d' $((us / 1000)) $((us % 1000))
  else
    tb_gw_last gwA >&2
  fi
}

TB_CMD_TIMEOUT=120
before=$(tb_now_us)
tb_gw_start gwA
startup_ms=$((($(tb_now_us) - before) / 1000))
rss0=$(rss_kb) fds0=$(fds)

# Each script is one line: the gateway's driver reads one line a command.
tunnels_ms=$(in_gateway "for {set i 0} {\$i < $tunnels} {incr i} { lappend ::tunnels [corvex_createUDPtunnel $TB_WAN_B [expr {20000 + \$i}]] }")
groups_ms=$(in_gateway "for {set i 0} {\$i < $groups} {incr i} { set g 239.20.[expr {\$i / 250}].[expr {\$i % 250 + 1}]; groupsock_turnOnBackgroundReadHandling [groupsock_create \$g 5000 16]; lappend ::groups \$g }")
joins_ms=$(in_gateway "set i 0; foreach g \$::groups { corvex_joinGroup [lindex \$::tunnels [expr {\$i % $tunnels}]] \$g 5000 16; incr i }")
[ -n "$tunnels_ms" ] && [ -n "$groups_ms" ] && [ -n "$joins_ms" ] || tb_die "setting the gateway up failed"
rss1=$(rss_kb) fds1=$(fds)
sleep 60
rss2=$(rss_kb) fds2=$(fds)
stats=$(tb_gw gwA 'llength [lindex [corvex_getAllStats] 9]')

table="| figure | value |
|---|---:|
| groups (groupsocks, read in the background) | $groups |
| tunnels (one tunnel socket) | $tunnels |
| memberships (local joins, JOIN every 15 s) | $groups |
| start-up to ready | $startup_ms ms |
| creating the tunnels | $tunnels_ms ms |
| creating the groupsocks | $groups_ms ms |
| joining every group through a tunnel | $joins_ms ms |
| resident memory at start | $rss0 kB |
| resident memory once set up | $rss1 kB |
| resident memory after 60 s | $rss2 kB |
| descriptors at start / set up / after 60 s | $fds0 / $fds1 / $fds2 |
| groupsocks listed by corvex_getAllStats | $((stats / 11)) |"
echo "$table"

if [ $write = yes ]; then
  [ -s "$top/bench/SCALE.md" ] || printf '# One gateway at scale\n\nWritten by `bench/scale.sh --write` (see README.md).\n' >"$top/bench/SCALE.md"
  {
    echo
    echo "### $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD)"
    echo
    echo "Release build; $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); kernel $(uname -r)."
    echo
    echo "$table"
  } >>"$top/bench/SCALE.md"
fi
tb_done
