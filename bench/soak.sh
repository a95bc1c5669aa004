#!/bin/bash
# soak.sh -- a long run: one numbered stream at a high rate from site A to
# site B for ten minutes, with gwB (the site that asked for the group)
# killed and restarted every two minutes. Reports the datagrams lost inside
# and outside the restarts' windows, each restart's recovery, and gwA's
# resident memory and open descriptors at the start and at the end. Runs in
# the test-bed of tests/e2e/testbed.sh; asserts nothing.
#
# Usage (as root, from anywhere):
#   bench/soak.sh [--write] [--minutes N] [--rate PER_SECOND] [--restart-every S] [--build-dir DIR]
#     --write   also append the figures to bench/SOAK.md
#
# Defaults: 10 minutes at 20000 datagrams/s of 200 bytes, a restart every
# 120 s; a restart's window is the 20 s from the kill (gwB's JOIN comes
# back within 15 s of its restart).

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
write=no minutes=10 rate=20000 every=120 build=$top/build/bench
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --write) write=yes ;;
    --minutes) minutes=$2; shift ;;
    --rate) rate=$2; shift ;;
    --restart-every) every=$2; shift ;;
    --build-dir) build=$2; shift ;;
    *) echo "usage: bench/soak.sh [--write] [--minutes N] [--rate N] [--restart-every S] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$VLD_TB_INNER" ]; then
  set -e
  "$top/tools/install-deps.sh"
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELDRA_TESTS=OFF >/dev/null
  cmake --build "$build" --target veldra bench_send bench_recv -j"$(nproc)" >/dev/null
  set +e
fi

. "$top/tests/e2e/testbed.sh"
TB_NEEDS=awk
tb_enter "$0" "${args[@]}"
case $build in /*) ;; *) build=$top/$build ;; esac
VELDRA=$build/veldra
SEND=$build/bench/bench_send
RECV=$build/bench/bench_recv
tb_setup 2

G=239.30.0.1 P=5000 WINDOW=20
duration=$((minutes * 60))
count=$((rate * duration))

config_gwA() { tb_gw_tunnel gwA tB "$TB_WAN_B"; }
config_gwB() {
  tb_gw_tunnel gwB tA "$TB_WAN_A"
  tb_gw_must gwB "corvex_joinGroup \$::tA $G $P 16" >/dev/null
}
tb_gw_start gwA
tb_gw_start gwB
config_gwA
config_gwB
tb_tunnel_sync gwA tB gwB tA
tb_gw_must gwB "corvex_joinGroup \$::tA $G $P 16" >/dev/null  # now that gwA knows gwB
tb_wait 10 tb_joined gwA lan0 $G || tb_die "gwA did not join the group for gwB"

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/${TB_GWPID[$1]}/status"; }
fds() { ls "/proc/${TB_GWPID[$1]}/fd" | wc -l; }

tb_bg hostB "$RECV" --group $G --port $P --interface "$TB_HOST_B" --count $count --run 1 \
  --idle-ms 3600000 --max-seconds $((duration + 300)) --gaps "$TB_DIR/gaps" >"$TB_DIR/recv.out"
receiver=$TB_LASTPID
tb_wait 5 grep -q ready "$TB_DIR/recv.out" || tb_die "bench_recv did not start"
rss0=$(rss_kb gwA) fds0=$(fds gwA)

T0=$EPOCHREALTIME
tb_bg hostA "$SEND" --group $G --port $P --interface "$TB_HOST_A" --size 200 --count $count \
  --rate "$rate" --run 1 --max-seconds $((duration + 60)) >"$TB_DIR/send.out"
sender=$TB_LASTPID
elapsed() { awk -v t0="$T0" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.3f", now - t0 }'; }
at() { sleep "$(awk -v t0="$T0" -v now="$EPOCHREALTIME" -v at="$1" 'BEGIN { w = t0 + at - now; print (w > 0 ? w : 0) }')"; }

: >"$TB_DIR/restarts"
for ((t = every; t < duration; t += every)); do
  at $t
  killed=$(elapsed)
  tb_gw_kill gwB
  tb_gw_start gwB
  config_gwB
  echo "$killed $(elapsed)" >>"$TB_DIR/restarts"
  echo "# gwB restarted at $killed s"
done
wait "$sender"
sleep 2
rss1=$(rss_kb gwA) fds1=$(fds gwA)
kill -TERM "$receiver"
wait "$receiver"

# Losses inside each restart's window (from the kill, WINDOW s) with its
# recovery (the restart's end to the last loss in the window), and outside.
sent=$(sed -n 's/^sent=\([0-9]*\).*/\1/p' "$TB_DIR/send.out")
restarts=$(wc -l <"$TB_DIR/restarts")
summary=$(awk -v rate="$rate" -v window=$WINDOW -v early=0.05 \
  -v outsideSent=$((${sent:-0} - restarts * WINDOW * rate)) '
  FILENAME ~ /restarts$/ { n++; k[n] = $1 - early; r[n] = $2 - early; next }
  {
    a = $1 / rate; b = ($2 + 1) / rate
    for (i = 1; i <= n; i++) {
      lo = a > k[i] ? a : k[i]; hi = b < k[i] + window ? b : k[i] + window
      if (hi > lo) { inside[i] += (hi - lo) * rate; if (hi > last[i]) last[i] = hi }
    }
    total += $2 - $1 + 1
  }
  END {
    for (i = 1; i <= n; i++) {
      all += inside[i]
      printf "restart %d at %.0f s: lost, recovery after the restart: %d, %.1f s\n", i, k[i],
        inside[i] + 0.5, (last[i] > r[i] ? last[i] - r[i] : 0)
    }
    printf "lost outside the restart windows: %d of %d\n", total - all + 0.5, outsideSent
  }' "$TB_DIR/restarts" "$TB_DIR/gaps")

table="| figure | value |
|---|---:|
| stream | $rate datagrams/s of 200 bytes for $minutes min, hostA to hostB |
| sent (bench_send) | $(cat "$TB_DIR/send.out") |
| received (bench_recv) | $(tail -1 "$TB_DIR/recv.out" | cut -d' ' -f1-5) |
$(echo "$summary" | sed 's/^\(.*\): \(.*\)$/| \1 | \2 |/')
| gwA resident memory, start / end | $rss0 kB / $rss1 kB |
| gwA open descriptors, start / end | $fds0 / $fds1 |"
echo "$table"

if [ $write = yes ]; then
  [ -s "$top/bench/SOAK.md" ] || printf '# Soak\n\nWritten by `bench/soak.sh --write` (see README.md).\n' >"$top/bench/SOAK.md"
  {
    echo
    echo "### $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD)"
    echo
    echo "Release build; $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); kernel $(uname -r). gwB killed (SIGKILL) and restarted every $every s; a restart's window is the $WINDOW s from the kill."
    echo
    echo "$table"
  } >>"$top/bench/SOAK.md"
fi
tb_done
