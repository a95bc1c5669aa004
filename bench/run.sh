#!/bin/bash
# run.sh -- the relay benchmark: how fast, how lossy and how costly four
# ways of carrying multicast from LAN A to LAN B are on this machine,
# measured side by side in one run in the test-bed of tests/e2e/testbed.sh:
#
#   direct   hostA and hostB on one LAN (the direct link): the machine's limit
#   socat    a socat relay pair per group on gwA and gwB, joined by unicast
#            UDP across the WAN: what one would set up by hand
#   minimal  bench_relay on gwA and gwB: one thread, recvmmsg and sendmmsg,
#            the tunnel trailer and nothing else: the ceiling of a relay
#   minimal1 the same with one sendto per datagram instead of sendmmsg: what
#            batching the sends is worth here (not run unless --relays asks)
#   veldra   the gateway pair, gwA joining the groups through its tunnel
#
# For every payload size (64, 512, 1316 bytes) and offered rate (10k, 50k,
# 100k, 200k datagrams/s and unlimited) bench_send sends a bounded,
# numbered and time-stamped stream of one group from hostA and bench_recv
# counts it at hostB; then the same for 100 groups at once (512 bytes, the
# offered rate spread over them). The relays' CPU time comes from
# /proc/<pid>/stat before and after each row, their peak memory from
# /proc/<pid>/status, the kernels' drops for full receive buffers from each
# namespace's /proc/net/snmp. Prints the tables in Markdown; asserts nothing.
#
# Usage (as root, from anywhere):
#   bench/run.sh [--write] [--quick] [--profile] [--relays LIST] [--build-dir DIR]
#     --write       also write bench/RESULTS.md
#     --quick       one size (512 bytes), two rates (10k, 100k), one group,
#                   one second per row: within a minute, for everyday use
#     --profile     also profile both gateways with perf at 100k/s, 512 bytes
#     --relays      the relays to measure, default "direct socat minimal veldra"

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
write=no quick=no profile=no relays="direct socat minimal veldra" build=$top/build/bench
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --write) write=yes ;;
    --quick) quick=yes ;;
    --profile) profile=yes ;;
    --relays) relays=$2; shift ;;
    --build-dir) build=$2; shift ;;
    *) echo "usage: bench/run.sh [--write] [--quick] [--profile] [--relays LIST] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$VLD_TB_INNER" ]; then
  # Outside the test-bed: install what is missing, build, then run again
  # inside the namespaces.
  set -e
  "$top/tools/install-deps.sh" bench
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELDRA_TESTS=OFF >/dev/null
  cmake --build "$build" --target veldra bench_send bench_recv bench_relay -j"$(nproc)" >/dev/null
  set +e
fi

. "$top/tests/e2e/testbed.sh"
tb_enter "$0" "${args[@]}"
case $build in /*) ;; *) build=$top/$build ;; esac
VELDRA=$build/veldra
SEND=$build/bench/bench_send
RECV=$build/bench/bench_recv
RELAY=$build/bench/bench_relay
tb_setup 2 direct

G=239.1.2.3 P=5004 TUNNEL_PORT=6000
SIZES="64 512 1316" RATES="10000 50000 100000 200000 0"
MANY=100 MANY_SIZE=512 MANY_RATES="10000 50000 100000 0"
SECONDS_PER_ROW=2
if [ $quick = yes ]; then
  SIZES=512 RATES="10000 100000" MANY_RATES="" SECONDS_PER_ROW=1
fi
# One socket joins all the groups in bench_recv and bench_relay.
for ns in hostB gwA gwB; do
  tb_exec $ns sysctl -q -w net.ipv4.igmp_max_memberships=1024 >/dev/null
done

RUN=0
PIDS_A=() PIDS_B=()
rows=$TB_DIR/rows
: >"$rows"

# count_for rate: the datagrams of one row: SECONDS_PER_ROW seconds' worth,
# at most 200000 (also for the unlimited rate).
count_for() {
  local n=$((200000 * SECONDS_PER_ROW / 2))
  [ "$1" -gt 0 ] && [ $(($1 * SECONDS_PER_ROW)) -lt $n ] && n=$(($1 * SECONDS_PER_ROW))
  echo $n
}

# group_at i: the i-th group, counting from G.
group_at() {
  local a b c d
  IFS=. read -r a b c d <<<"$G"
  local n=$(((a << 24) + (b << 16) + (c << 8) + d + $1))
  echo "$((n >> 24 & 255)).$((n >> 16 & 255)).$((n >> 8 & 255)).$((n & 255))"
}

# cpu_ticks pid...: user plus system time of the processes so far, in clock ticks.
cpu_ticks() {
  local total=0 line rest pid
  for pid in "$@"; do
    read -r line <"/proc/$pid/stat" || continue
    rest=${line##*) }
    set -- $rest
    total=$((total + ${12} + ${13}))
  done
  echo $total
}
TICKS=$(getconf CLK_TCK)

# peak_kib pid...: the sum of the processes' peak resident memory, in KiB.
peak_kib() {
  local total=0 pid kib
  for pid in "$@"; do
    kib=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    total=$((total + ${kib:-0}))
  done
  echo $total
}

# buffer_drops ns: the UDP datagrams the namespace's kernel dropped so far
# because a socket's receive buffer was full (RcvbufErrors).
buffer_drops() {
  tb_exec "$1" awk '/^Udp:/ { if (++n == 1) { for (i = 2; i <= NF; i++) if ($i == "RcvbufErrors") c = i }
                              else print $c }' /proc/net/snmp
}

# measure relay groups size rate sendIf recvIf: one row; appends its figures
# to the rows file as "relay groups size rate key=value...".
measure() {
  local relay=$1 groups=$2 size=$3 rate=$4 sendIf=$5 recvIf=$6 count pid a0 b0 extra="" ns
  local -A drops
  count=$(count_for "$rate")
  for ns in gwA gwB hostB; do drops[$ns]=$(buffer_drops $ns); done
  RUN=$((RUN + 1))
  tb_bg hostB "$RECV" --group $G --groups "$groups" --port $P --interface "$recvIf" \
    --count "$count" --run $RUN --idle-ms 1000 --max-seconds 60 >"$TB_DIR/recv.out"
  pid=$TB_LASTPID
  tb_wait 5 grep -q ready "$TB_DIR/recv.out" || tb_die "bench_recv did not start"
  a0=$(cpu_ticks "${PIDS_A[@]}") b0=$(cpu_ticks "${PIDS_B[@]}")
  tb_exec hostA "$SEND" --group $G --groups "$groups" --port $P --interface "$sendIf" \
    --size "$size" --count "$count" --rate "$rate" --run $RUN --max-seconds 60 >"$TB_DIR/send.out"
  wait "$pid"
  for ns in gwA gwB hostB; do extra="$extra drops$ns=$(($(buffer_drops $ns) - drops[$ns]))"; done
  if [ ${#PIDS_A[@]} -gt 0 ]; then
    extra="$extra cpuA=$(($(cpu_ticks "${PIDS_A[@]}") - a0)) cpuB=$(($(cpu_ticks "${PIDS_B[@]}") - b0))"
    extra="$extra rssA=$(peak_kib "${PIDS_A[@]}") rssB=$(peak_kib "${PIDS_B[@]}")"
  fi
  echo "$relay $groups $size $rate $(cat "$TB_DIR/send.out") $(tail -1 "$TB_DIR/recv.out") $extra" >>"$rows"
  echo "# $relay groups $groups size $size rate $rate: $(tail -1 "$TB_DIR/recv.out") $extra" >&2
}

# path_works groups sendIf recvIf: a short slow stream gets through.
path_works() {
  RUN=$((RUN + 1))
  local count=$(($1 * 2))
  tb_bg hostB "$RECV" --group $G --groups "$1" --port $P --interface "$3" --count $count \
    --run $RUN --idle-ms 1000 --max-seconds 5 >"$TB_DIR/recv.out"
  local pid=$TB_LASTPID
  tb_wait 5 grep -q ready "$TB_DIR/recv.out" || return 1
  tb_exec hostA "$SEND" --group $G --groups "$1" --port $P --interface "$2" --size 64 \
    --count $count --rate 1000 --run $RUN >/dev/null
  wait "$pid"
  tail -1 "$TB_DIR/recv.out" | grep -q "received=$count "
}

# run_rows relay groups sendIf recvIf: the rows of one row set through the
# relay in place.
run_rows() {
  local relay=$1 groups=$2 sizes=$SIZES rates=$RATES size rate
  [ "$groups" -gt 1 ] && sizes=$MANY_SIZE rates=$MANY_RATES
  [ -z "$rates" ] && return 0
  tb_wait 20 path_works "$groups" "$3" "$4" || tb_die "nothing crosses the $relay relay ($groups groups)"
  for size in $sizes; do
    for rate in $rates; do measure "$relay" "$groups" "$size" "$rate" "$3" "$4"; done
  done
}

# start_relay relay groups: sets the relay up for the groups (PIDS_A and
# PIDS_B are its processes on gwA and gwB); stop_relay ends it.
start_relay() {
  local relay=$1 groups=$2 i g
  PIDS_A=() PIDS_B=()
  case $relay in
    direct) ;;
    socat)
      for ((i = 0; i < groups; i++)); do
        g=$(group_at $i)
        tb_bg gwA socat -u "UDP4-RECV:$P,bind=$g,reuseaddr,ip-add-membership=$g:$TB_GW_A" \
          "UDP4-SENDTO:$TB_WAN_B:$((TUNNEL_PORT + i))" 2>>"$TB_DIR/socat.err"
        PIDS_A+=("$TB_LASTPID")
        tb_bg gwB socat -u "UDP4-RECV:$((TUNNEL_PORT + i)),reuseaddr" \
          "UDP4-SENDTO:$g:$P,ip-multicast-if=$TB_GW_B,ip-multicast-ttl=16" 2>>"$TB_DIR/socat.err"
        PIDS_B+=("$TB_LASTPID")
      done
      ;;
    minimal | minimal1)
      local send=batch
      [ "$relay" = minimal1 ] && send=one
      tb_bg gwA "$RELAY" --mode in --group $G --groups "$groups" --port $P --interface "$TB_GW_A" \
        --peer "$TB_WAN_B" --peer-port $TUNNEL_PORT --send $send
      PIDS_A=("$TB_LASTPID")
      tb_bg gwB "$RELAY" --mode out --port $TUNNEL_PORT --interface "$TB_GW_B" --send $send
      PIDS_B=("$TB_LASTPID")
      ;;
    veldra)
      tb_pair
      local list=""
      for ((i = 0; i < groups; i++)); do list="$list $(group_at $i)"; done
      # One line: the driver takes one line per request.
      tb_gw_must gwA "foreach g {$list} { set ::gs(\$g) [groupsock_create \$g $P 16];\
 groupsock_turnOnBackgroundReadHandling \$::gs(\$g); corvex_joinGroup \$::tB \$g $P 16 }" \
        >/dev/null
      tb_wait 10 tb_joined gwB lan0 "$(group_at $((groups - 1)))" ||
        tb_die "gwB did not join the groups for gwA"
      PIDS_A=("${TB_GWPID[gwA]}") PIDS_B=("${TB_GWPID[gwB]}")
      ;;
    *) tb_die "unknown relay $relay" ;;
  esac
}

stop_relay() {
  local pid
  case $1 in
    veldra) tb_gw_exit gwA; tb_gw_exit gwB ;;
    *) for pid in "${PIDS_A[@]}" "${PIDS_B[@]}"; do tb_stop "$pid"; done ;;
  esac
  PIDS_A=() PIDS_B=()
}

# stream count: one 512-byte stream of one group at 100k/s, from hostA to
# hostB through whatever relay is up; prints bench_recv's result line.
stream() {
  local pid
  RUN=$((RUN + 1))
  tb_bg hostB "$RECV" --group $G --port $P --interface "$TB_HOST_B" --count "$1" --run $RUN \
    --idle-ms 1000 --max-seconds 20 >"$TB_DIR/recv.out"
  pid=$TB_LASTPID
  tb_wait 5 grep -q ready "$TB_DIR/recv.out" || tb_die "bench_recv did not start"
  tb_exec hostA "$SEND" --group $G --port $P --interface "$TB_HOST_A" --size 512 --count "$1" \
    --rate 100000 --run $RUN --max-seconds 20 >/dev/null
  wait "$pid"
  tail -1 "$TB_DIR/recv.out"
}

# while_streaming perf command options...: runs "perf command options -p
# <gateway pid> -o $TB_DIR/<gw>.<command>" on each gateway while a 3-second
# stream passes;
# prints the stream's result line.
while_streaming() {
  local gw pid tools=() result
  for gw in gwA gwB; do
    "$@" -p "${TB_GWPID[$gw]}" -o "$TB_DIR/$gw.$2" >/dev/null 2>&1 &
    tools+=($!)
  done
  sleep 0.5
  result=$(stream 300000)
  for pid in "${tools[@]}"; do kill -INT "$pid"; wait "$pid"; done
  echo "$result"
}

# profile_gateways: what each gateway of the pair spends per datagram while
# a 512-byte stream of one group passes at 100k/s (perf stat), where its
# CPU time goes (perf record) and which system calls it makes (perf trace).
profile_gateways() {
  local out=$TB_DIR/profile.md gw received statLine recordLine traceLine
  statLine=$(while_streaming perf stat -x, -e task-clock,context-switches,raw_syscalls:sys_enter)
  recordLine=$(while_streaming perf record -q -F 4999 -g)
  traceLine=$(while_streaming perf trace -s)
  received() { echo "$1" | grep -o 'received=[0-9]*' | cut -d= -f2; }
  {
    echo "Each gateway under a 512-byte stream of one group offered at 100k/s for 3 s,"
    echo "measured three times, each time by one perf tool attached to both gateways:"
    echo
    echo "| per delivered datagram | gwA | gwB |"
    echo "|---|---:|---:|"
    for what in task-clock context-switches raw_syscalls:sys_enter; do
      printf '| %s |' "$(case $what in task-clock) echo 'CPU µs' ;; context-switches) echo 'context switches' ;; *) echo 'system calls' ;; esac)"
      for gw in gwA gwB; do
        awk -F, -v what="$what" -v n="$(received "$statLine")" '$3 == what {
            printf " %.2f |", (what == "task-clock" ? $1 * 1000 : $1) / n }' "$TB_DIR/$gw.stat"
      done
      echo
    done
    echo
    echo "Runs: perf stat: $(echo "$statLine" | grep -o 'loss_pct=[0-9.]*'), perf record:"
    echo "$(echo "$recordLine" | grep -o 'loss_pct=[0-9.]*'), perf trace: $(echo "$traceLine" | grep -o 'loss_pct=[0-9.]*')"
    echo "(perf trace slows every system call down, so its run loses more). The"
    echo "samples are taken on cpu-clock (no hardware counters in this virtual"
    echo "machine): kernel samples pile up where interrupts are enabled again"
    echo "(\`finish_task_switch\`, \`_raw_spin_unlock_irqrestore\`), user-space"
    echo "samples are where they fall."
    for gw in gwA gwB; do
      echo
      echo "$gw: samples by object, the functions above 1 % (self time), and the"
      echo "system calls for the $(received "$traceLine") datagrams delivered in the perf trace run:"
      echo
      echo '```'
      perf report -i "$TB_DIR/$gw.record" --stdio --no-children --sort dso 2>/dev/null |
        grep -E '^ +[0-9.]+%' | head -6
      echo
      perf report -i "$TB_DIR/$gw.record" --stdio --no-children --sort dso,sym -g none \
        --percent-limit 1 2>/dev/null | grep -E '^ +[0-9.]+%' | head -20
      echo
      grep -E '^ +(syscall|-----|[a-z_0-9]+ +[0-9])' "$TB_DIR/$gw.trace" | head -12
      echo '```'
    done
  } >"$out"
}

for relay in $relays; do
  sendIf=$TB_HOST_A recvIf=$TB_HOST_B
  [ "$relay" = direct ] && sendIf=$TB_DIRECT_A recvIf=$TB_DIRECT_B
  for groups in 1 $MANY; do
    [ "$groups" -gt 1 ] && [ -z "$MANY_RATES" ] && continue
    start_relay "$relay" "$groups"
    run_rows "$relay" "$groups" "$sendIf" "$recvIf"
    [ "$relay" = veldra ] && [ "$groups" -eq 1 ] && [ $profile = yes ] && profile_gateways
    stop_relay "$relay"
  done
done

# --- The report -------------------------------------------------------------

report() {
  awk -v ticks="$TICKS" '
    function val(key,   i, kv) {
      for (i = 5; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) return kv[2] }
      return ""
    }
    function rate_text(r) { return r == 0 ? "unlimited" : sprintf("%dk", r / 1000) }
    function drop_cols() {
      return sprintf("| %d | %d | %d ", val("dropsgwA"), val("dropsgwB"), val("dropshostB"))
    }
    function relay_cols(  a, b, n) {
      if (val("cpuA") == "") return "| - | - | - | - | - | - "
      a = val("cpuA") / ticks; b = val("cpuB") / ticks; n = val("received")
      return sprintf("| %.2f | %.2f | %.1f | %.1f | %.1f | %.1f ", a, b,
                     n > 0 ? a * 1e6 / n : 0, n > 0 ? b * 1e6 / n : 0,
                     val("rssA") / 1024, val("rssB") / 1024)
    }
    {
      key = $2 " " $3 " " $4
      sent = val("sent"); secs = val("seconds")
      printf "| %s | %d | %d | %s | %.0f | %.0f | %.1f | %.2f %s| %.0f | %.0f | %.0f %s|\n",
        $1, $2, $3, rate_text($4), (secs > 0 ? sent / secs : 0), val("rate"), val("mbit"),
        val("loss_pct"), drop_cols(), val("p50_us"), val("p99_us"), val("p999_us"), relay_cols()
      delivered[$1, key] = val("rate"); p50[$1, key] = val("p50_us"); p99[$1, key] = val("p99_us")
      if (!(key in seen)) { seen[key] = 1; order[++n] = key }
      set = $2 " " $3
      if (!(set in setSeen)) { setSeen[set] = 1; sets[++m] = set }
      if (val("rate") + 0 > best[$1, set] + 0) best[$1, set] = val("rate")
    }
    END {
      print ""
      print "Saturation: the most datagrams/s each relay delivered in any row of a row set:"
      print ""
      print "| groups | size B | direct | socat | minimal | minimal1 | veldra | veldra/socat | veldra/minimal | minimal1/minimal |"
      print "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
      for (i = 1; i <= m; i++) {
        split(sets[i], f, " ")
        printf "| %d | %d | %s | %s | %s | %s | %s | %s | %s | %s |\n", f[1], f[2],
          most("direct", sets[i]), most("socat", sets[i]), most("minimal", sets[i]),
          most("minimal1", sets[i]), most("veldra", sets[i]), bestRatio("veldra", "socat", sets[i]),
          bestRatio("veldra", "minimal", sets[i]), bestRatio("minimal1", "minimal", sets[i])
      }
      print ""
      print "Ratios of delivered datagrams/s, and latency that each relay adds to the direct path:"
      print ""
      print "| groups | size B | offered/s | veldra/limit | veldra/socat | veldra/minimal | veldra +p50 µs | veldra +p99 µs | minimal +p50 µs | minimal +p99 µs | socat +p50 µs | socat +p99 µs |"
      print "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
      for (i = 1; i <= n; i++) {
        split(order[i], f, " ")
        printf "| %d | %d | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", f[1], f[2],
          rate_text(f[3]), ratio("veldra", "direct", order[i]), ratio("veldra", "socat", order[i]),
          ratio("veldra", "minimal", order[i]), added("veldra", order[i], p50),
          added("veldra", order[i], p99), added("minimal", order[i], p50),
          added("minimal", order[i], p99), added("socat", order[i], p50), added("socat", order[i], p99)
      }
    }
    function most(a, k) { return (a, k) in best ? sprintf("%.0f", best[a, k]) : "-" }
    function bestRatio(a, b, k) {
      if (!((a, k) in best) || !((b, k) in best) || best[b, k] == 0) return "-"
      return sprintf("%.2f", best[a, k] / best[b, k])
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
  echo "| relay | groups | size B | offered/s | sent/s | delivered/s | Mbit/s | loss % | full buffer drops gwA | gwB | hostB | p50 µs | p99 µs | p99.9 µs | CPU s gwA | CPU s gwB | CPU µs/dgram gwA | CPU µs/dgram gwB | peak RSS MiB gwA | peak RSS MiB gwB |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  report
}

machine() {
  echo "- machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(free -g | awk '/^Mem:/ {print $2}') GiB memory"
  echo "- kernel: Linux $(uname -r); veth pairs and a bridge between network namespaces"
  echo "- veldra: Release build, commit $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo none); $(socat -V | sed -n 2p | sed 's/ on .*//')"
  echo "- $(date -u '+%Y-%m-%d %H:%M UTC'); datagrams per row: $SECONDS_PER_ROW seconds' worth of the offered rate, at most $((200000 * SECONDS_PER_ROW / 2))$([ $quick = yes ] && echo ' (quick run)')"
}

output=$TB_DIR/report.md
{
  echo "# Relay benchmark results"
  echo
  echo "Made by \`bench/run.sh --write --profile\` (see bench/README.md). One-way latency"
  echo "from send call to receive call, on one clock; CPU time of each relay side from"
  echo "/proc/<pid>/stat (10 ms steps; for socat, all its processes on that side);"
  echo "peak RSS is VmHWM (summed the same way); \"limit\" is the direct path."
  echo
  machine
  echo
  table
  if [ -s "$TB_DIR/profile.md" ]; then
    echo
    echo "## Profile of the gateway pair"
    echo
    cat "$TB_DIR/profile.md"
  fi
} >"$output"
cat "$output"
[ $write = yes ] && cp "$output" "$here/RESULTS.md"
exit 0
