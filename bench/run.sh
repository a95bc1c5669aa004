#!/bin/bash
# run.sh -- the relay benchmark: how fast, how lossy and how costly three
# ways of carrying a multicast group from LAN A to LAN B are on this
# machine, measured side by side in one run in the test-bed of
# tests/e2e/testbed.sh:
#
#   direct  hostA and hostB on one LAN (the direct link): the machine's limit
#   socat   a socat relay pair on gwA and gwB, joined by unicast UDP across
#           the WAN: what one would set up by hand for one static group
#   veldra  the gateway pair, gwA joining the group through its tunnel
#
# For every payload size (64, 512, 1316 bytes) and offered rate (10k, 50k,
# 100k datagrams/s and unlimited) bench_send sends a bounded, numbered and
# time-stamped stream from hostA and bench_recv counts it at hostB. The
# relays' CPU time comes from /proc/<pid>/stat before and after each row.
# Prints the tables in Markdown; asserts nothing.
#
# Usage (as root, from anywhere):
#   bench/run.sh [--write] [--quick] [--relays "direct socat veldra"] [--build-dir DIR]
#     --write       also write bench/RESULTS.md
#     --quick       a tenth of the datagrams per row (to try the script out)

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
write=no quick=no relays="direct socat veldra" build=$top/build/bench
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --write) write=yes ;;
    --quick) quick=yes ;;
    --relays) relays=$2; shift ;;
    --build-dir) build=$2; shift ;;
    *) echo "usage: bench/run.sh [--write] [--quick] [--relays LIST] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$VLD_TB_INNER" ]; then
  # Outside the test-bed: install what is missing, build, then run again
  # inside the namespaces.
  set -e
  "$top/tools/install-deps.sh"
  if ! command -v socat >/dev/null && [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq socat >/dev/null
  fi
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELDRA_TESTS=OFF >/dev/null
  cmake --build "$build" --target veldra bench_send bench_recv -j"$(nproc)" >/dev/null
  set +e
fi

. "$top/tests/e2e/testbed.sh"
tb_enter "$0" "${args[@]}"
case $build in /*) ;; *) build=$top/$build ;; esac
VELDRA=$build/veldra
SEND=$build/bench/bench_send
RECV=$build/bench/bench_recv
tb_setup 2 direct

G=239.1.2.3 P=5004 TUNNEL_PORT=6000
SIZES="64 512 1316"
RATES="10000 50000 100000 0"
RUN=0
RELAY_PIDS=()

rows=$TB_DIR/rows
: >"$rows"

# count_for rate: the datagrams of one row: two seconds' worth, at most
# 200000 (also for the unlimited rate).
count_for() {
  local n=200000
  [ "$1" -gt 0 ] && [ $(($1 * 2)) -lt $n ] && n=$(($1 * 2))
  [ $quick = yes ] && n=$((n / 10))
  echo $n
}

# cpu_ticks pid: user plus system time of the process so far, in clock ticks.
cpu_ticks() {
  local line rest
  read -r line <"/proc/$1/stat" || { echo 0; return; }
  rest=${line##*) }
  set -- $rest
  echo $((${12} + ${13}))
}
TICKS=$(getconf CLK_TCK)

# measure relay size rate sendIf recvIf: one row; appends its figures to
# the rows file as "relay size rate key=value...".
measure() {
  local relay=$1 size=$2 rate=$3 sendIf=$4 recvIf=$5 count pid before=() after=() i
  count=$(count_for "$rate")
  RUN=$((RUN + 1))
  tb_bg hostB "$RECV" --group $G --port $P --interface "$recvIf" --count "$count" --run $RUN \
    --idle-ms 1000 --max-seconds 60 >"$TB_DIR/recv.out"
  pid=$TB_LASTPID
  tb_wait 5 grep -q ready "$TB_DIR/recv.out" || tb_die "bench_recv did not start"
  for i in "${!RELAY_PIDS[@]}"; do before[i]=$(cpu_ticks "${RELAY_PIDS[i]}"); done
  tb_exec hostA "$SEND" --group $G --port $P --interface "$sendIf" --size "$size" \
    --count "$count" --rate "$rate" --run $RUN --max-seconds 60 >"$TB_DIR/send.out"
  wait "$pid"
  for i in "${!RELAY_PIDS[@]}"; do after[i]=$(cpu_ticks "${RELAY_PIDS[i]}"); done
  local cpu=""
  for i in "${!RELAY_PIDS[@]}"; do cpu="$cpu cpu$i=$((after[i] - before[i]))"; done
  echo "$relay $size $rate $(cat "$TB_DIR/send.out") $(tail -1 "$TB_DIR/recv.out")$cpu" >>"$rows"
  echo "# $relay size $size rate $rate: $(tail -1 "$TB_DIR/recv.out")$cpu" >&2
}

# path_works sendIf recvIf: a short slow stream gets through.
path_works() {
  RUN=$((RUN + 1))
  tb_bg hostB "$RECV" --group $G --port $P --interface "$2" --count 20 --run $RUN \
    --idle-ms 1000 --max-seconds 5 >"$TB_DIR/recv.out"
  local pid=$TB_LASTPID
  tb_wait 5 grep -q ready "$TB_DIR/recv.out" || return 1
  tb_exec hostA "$SEND" --group $G --port $P --interface "$1" --size 64 --count 20 --rate 100 \
    --run $RUN >/dev/null
  wait "$pid"
  tail -1 "$TB_DIR/recv.out" | grep -q 'received=20 '
}

# run_relay relay sendIf recvIf: every row through the relay in place.
run_relay() {
  local size rate
  tb_wait 20 path_works "$2" "$3" || tb_die "nothing crosses the $1 relay"
  for size in $SIZES; do
    for rate in $RATES; do measure "$1" "$size" "$rate" "$2" "$3"; done
  done
}

for relay in $relays; do
  RELAY_PIDS=()
  case $relay in
    direct)
      run_relay direct "$TB_DIRECT_A" "$TB_DIRECT_B"
      ;;
    socat)
      tb_bg gwA socat -u "UDP4-RECV:$P,reuseaddr,ip-add-membership=$G:$TB_GW_A" \
        "UDP4-SENDTO:$TB_WAN_B:$TUNNEL_PORT" 2>>"$TB_DIR/socat.err"
      RELAY_PIDS+=("$TB_LASTPID")
      tb_bg gwB socat -u "UDP4-RECV:$TUNNEL_PORT,reuseaddr" \
        "UDP4-SENDTO:$G:$P,ip-multicast-if=$TB_GW_B,ip-multicast-ttl=16" 2>>"$TB_DIR/socat.err"
      RELAY_PIDS+=("$TB_LASTPID")
      run_relay socat "$TB_HOST_A" "$TB_HOST_B"
      for pid in "${RELAY_PIDS[@]}"; do tb_stop "$pid"; done
      ;;
    veldra)
      tb_pair
      tb_gw_group gwA $G $P 16
      tb_gw_must gwA "corvex_joinGroup \$::tB $G $P 16" >/dev/null
      tb_wait 5 tb_joined gwB lan0 $G || tb_die "gwB did not join the group for gwA"
      RELAY_PIDS=("${TB_GWPID[gwA]}" "${TB_GWPID[gwB]}")
      run_relay veldra "$TB_HOST_A" "$TB_HOST_B"
      tb_gw_exit gwA
      tb_gw_exit gwB
      ;;
    *) tb_die "unknown relay $relay" ;;
  esac
done

# --- The report -------------------------------------------------------------

report() {
  awk -v ticks="$TICKS" '
    function val(key,   i, kv) {
      for (i = 4; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) return kv[2] }
      return ""
    }
    function rate_text(r) { return r == 0 ? "unlimited" : sprintf("%dk", r / 1000) }
    function cpu_cols(  s, c0, c1, n) {
      if (val("cpu0") == "") return "| - | - | - | - "
      c0 = val("cpu0") / ticks; c1 = val("cpu1") / ticks; n = val("received")
      return sprintf("| %.2f | %.2f | %.1f | %.1f ", c0, c1,
                     n > 0 ? c0 * 1e6 / n : 0, n > 0 ? c1 * 1e6 / n : 0)
    }
    {
      key = $2 " " $3
      sent = val("sent"); secs = val("seconds")
      printf "| %s | %d | %s | %.0f | %.0f | %.1f | %.2f | %.0f | %.0f | %.0f %s|\n",
        $1, $2, rate_text($3), (secs > 0 ? sent / secs : 0), val("rate"), val("mbit"),
        val("loss_pct"), val("p50_us"), val("p99_us"), val("p999_us"), cpu_cols()
      delivered[$1, key] = val("rate"); p50[$1, key] = val("p50_us"); p99[$1, key] = val("p99_us")
      loss[$1, key] = val("loss_pct"); keys[key] = 1; order[++n] = key
    }
    END {
      print ""
      print "Ratios of delivered datagrams/s, and latency that each relay adds to the direct path:"
      print ""
      print "| size B | offered/s | veldra/limit | veldra/socat | veldra +p50 µs | veldra +p99 µs | socat +p50 µs | socat +p99 µs |"
      print "|---:|---:|---:|---:|---:|---:|---:|---:|"
      for (i = 1; i <= n; i++) {
        k = order[i]
        if (done[k]++) continue
        split(k, f, " ")
        printf "| %d | %s | %s | %s | %s | %s | %s | %s |\n", f[1], rate_text(f[2]),
          ratio("veldra", "direct", k), ratio("veldra", "socat", k),
          added("veldra", k, p50), added("veldra", k, p99), added("socat", k, p50), added("socat", k, p99)
      }
    }
    function ratio(a, b, k) {
      if (!((a, k) in delivered) || !((b, k) in delivered) || delivered[b, k] == 0) return "-"
      return sprintf("%.2f", delivered[a, k] / delivered[b, k])
    }
    function added(a, k, table) {
      if (!((a, k) in table) || !(("direct", k) in table)) return "-"
      return sprintf("%+.0f", table[a, k] - table["direct", k])
    }
  ' "$rows"
}

table() {
  echo "| relay | size B | offered/s | sent/s | delivered/s | Mbit/s | loss % | p50 µs | p99 µs | p99.9 µs | CPU s gwA | CPU s gwB | CPU µs/dgram gwA | CPU µs/dgram gwB |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  report
}

machine() {
  echo "- machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(free -g | awk '/^Mem:/ {print $2}') GiB memory"
  echo "- kernel: Linux $(uname -r); veth pairs and a bridge between network namespaces"
  echo "- veldra: Release build, commit $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo none); $(socat -V | sed -n 2p | sed 's/ on .*//')"
  echo "- $(date -u '+%Y-%m-%d %H:%M UTC'); datagrams per row: two seconds' worth of the offered rate, at most 200000$([ $quick = yes ] && echo ' (quick run: a tenth of that)')"
}

output=$TB_DIR/report.md
{
  echo "# Relay benchmark results"
  echo
  echo "Made by \`bench/run.sh --write\` (see bench/README.md). One-way latency from"
  echo "send call to receive call, on one clock; CPU time of each relay process from"
  echo "/proc/<pid>/stat (10 ms steps); \"limit\" is the direct path."
  echo
  machine
  echo
  table
} >"$output"
cat "$output"
[ $write = yes ] && cp "$output" "$here/RESULTS.md"
exit 0
