# testbed.sh -- the multi-site test-bed of the end-to-end tests and of the
# relay benchmark, built from network namespaces joined by veth pairs.
# Sourced, never run. Every address below exists only inside the namespaces.
#
#                LAN A 10.201.1.0/24                 WAN 10.200.0.0/24
#   hostA lan0 .2 ----------- lan0 .1 [gwA] wan0 .1 ---+
#                                                      |  bridge br0 in "wan"
#   hostB lan0 .2 ----------- lan0 .1 [gwB] wan0 .2 ---+
#                LAN B 10.201.2.0/24                   |
#                                                      |  (three-site cases)
#   hostC lan0 .2 ----------- lan0 .1 [gwC] wan0 .3 ---+
#                LAN C 10.201.3.0/24
#
#   hostA dlan0 10.201.9.1 ---------- dlan0 10.201.9.2 hostB
#                (direct LAN, made for the benchmark's no-relay row only)
#
# There is no multicast routing between the sites: every host and gateway
# routes 224.0.0.0/4 to its LAN interface, so group joins and multicast
# sends happen on the LAN and the WAN carries only unicast tunnel traffic.
# Reverse-path filtering is off everywhere (a receiver would otherwise drop
# datagrams whose source is not on its LAN), and IPv6 is off to keep the
# links quiet.
#
# Isolation: tb_enter re-runs the calling script under unshare in a private
# network, mount and PID namespace. The namespaces are named with a per-run
# prefix (vld-<pid>-gwA) on a /run/netns of that private mount namespace,
# the script's own network namespace is an empty private one, and when the
# script ends, however it ends, the kernel kills every process it started
# and frees every namespace. The EXIT trap also removes them in order.
#
# Usage in a test script:
#   . "$(dirname "$0")/testbed.sh"
#   tb_enter "$0" "$@"          # exits 77 (skip) where namespaces can't be made
#   tb_setup 2                  # two sites (3 for three), optional "direct"
#   tb_gw_start gwA; tb_gw gwA 'corvex_createUDPtunnel 10.200.0.2'
#   ...; tb_check "description" command...; tb_done

TB_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Addresses of the layout above.
TB_WAN_A=10.200.0.1 TB_WAN_B=10.200.0.2 TB_WAN_C=10.200.0.3
TB_GW_A=10.201.1.1 TB_GW_B=10.201.2.1 TB_GW_C=10.201.3.1
TB_HOST_A=10.201.1.2 TB_HOST_B=10.201.2.2 TB_HOST_C=10.201.3.2
TB_DIRECT_A=10.201.9.1 TB_DIRECT_B=10.201.9.2

# How long one gateway command may take: creating the first socket of a
# gateway may run own-address discovery, which waits up to 5 seconds.
TB_CMD_TIMEOUT=${TB_CMD_TIMEOUT:-15}

TB_PASSED=0 TB_FAILED=0 TB_REQ=0
TB_PIDS=() TB_NAMESPACES=()
declare -A TB_GWPID TB_GWOUT TB_GWERR TB_GWCTL TB_GWGEN

# --- Isolation and set-up ---------------------------------------------------

# tb_enter script args...: re-runs the script inside private namespaces
# (see the top of this file); returns at once when already inside. Skips
# with status 77 when not root or when namespaces cannot be made.
tb_enter() {
  [ -n "$VLD_TB_INNER" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the multi-site test-bed needs root to make network namespaces" >&2
    exit 77
  fi
  local tool
  for tool in ip unshare mkfifo ${TB_NEEDS:-socat}; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIP: $tool is not installed (tools/install-deps.sh test installs it)" >&2
      exit 77
    fi
  done
  local isolate=(unshare --net --mount --pid --fork --kill-child --mount-proc)
  if ! "${isolate[@]}" true 2>/dev/null; then
    echo "SKIP: cannot create network, mount and PID namespaces here" >&2
    exit 77
  fi
  VLD_TB_INNER=1 VLD_TB_RUN=$$ exec "${isolate[@]}" -- bash "$@"
}

# tb_setup sites [direct]: builds the layout for 2 or 3 sites, plus the
# direct LAN when the second word is "direct". Dies on any failure.
tb_setup() {
  local sites=${1:-2} direct=$2
  [ -n "$VLD_TB_INNER" ] || tb_die "tb_setup called outside tb_enter's namespaces"
  TB_PREFIX=vld-${VLD_TB_RUN:-$$}
  TB_DIR=$(mktemp -d "/tmp/$TB_PREFIX.XXXXXX") || tb_die "cannot make a work directory"
  trap tb_cleanup EXIT
  trap 'exit 130' INT TERM
  # A /run/netns of our own: the names are seen by nobody else.
  mkdir -p /run/netns && mount -t tmpfs "$TB_PREFIX" /run/netns || tb_die "cannot mount /run/netns"
  TB_MOUNTED=1
  ip link set lo up

  local site letters=ABC
  tb_ns_add wan
  ip -n "$(tb_ns wan)" link add br0 type bridge || tb_die "cannot make the WAN bridge"
  ip -n "$(tb_ns wan)" link set br0 up
  for ((site = 0; site < sites; site++)); do
    local s=${letters:site:1} n=$((site + 1))
    tb_ns_add "gw$s"
    tb_ns_add "host$s"
    tb_link "host$s" lan0 "10.201.$n.2/24" "gw$s" lan0 "10.201.$n.1/24"
    tb_link "gw$s" wan0 "10.200.0.$n/24" wan "port$s" ""
    ip -n "$(tb_ns wan)" link set "port$s" master br0 || tb_die "cannot bridge port$s"
    ip -n "$(tb_ns "gw$s")" route add 224.0.0.0/4 dev lan0 || tb_die "no multicast route in gw$s"
    ip -n "$(tb_ns "host$s")" route add 224.0.0.0/4 dev lan0 || tb_die "no multicast route in host$s"
  done
  if [ "$direct" = direct ]; then
    tb_link hostA dlan0 "$TB_DIRECT_A/24" hostB dlan0 "$TB_DIRECT_B/24"
  fi
}

# tb_ns short: the full name of a namespace of this run.
tb_ns() { echo "$TB_PREFIX-$1"; }

# tb_ns_add short: makes a namespace with loopback up, no reverse-path
# filtering and no IPv6.
tb_ns_add() {
  local ns
  ns=$(tb_ns "$1")
  ip netns add "$ns" || tb_die "cannot make namespace $ns"
  TB_NAMESPACES+=("$ns")
  ip -n "$ns" link set lo up
  ip netns exec "$ns" sysctl -q -w net.ipv4.conf.all.rp_filter=0 \
    net.ipv4.conf.default.rp_filter=0 net.ipv6.conf.all.disable_ipv6=1 \
    net.ipv6.conf.default.disable_ipv6=1 >/dev/null || tb_die "sysctl failed in $ns"
}

# tb_link nsA ifA addrA nsB ifB addrB: a veth pair between two namespaces,
# made directly inside them (nothing passes through the script's own
# namespace); an empty address leaves that end unnumbered.
tb_link() {
  local a b
  a=$(tb_ns "$1") b=$(tb_ns "$4")
  ip -n "$a" link add "$2" type veth peer name "$5" netns "$b" || tb_die "cannot link $1/$2 to $4/$5"
  tb_link_end "$a" "$2" "$3"
  tb_link_end "$b" "$5" "$6"
}

# tb_host_add host site address: one more host on the LAN of site A, B or
# C, in a namespace of its own: a macvlan of that site's host's lan0, named
# lan0 there too, with the address (as 10.201.2.3/24) and the multicast
# route. It hears the site's gateway and the gateway hears it, as a second
# host on a shared LAN would.
tb_host_add() {
  local host=$1 parent ns
  parent=$(tb_ns "host$2")
  tb_ns_add "$host"
  ns=$(tb_ns "$host")
  ip -n "$parent" link add link lan0 name "mv$$" type macvlan mode bridge &&
    ip -n "$parent" link set "mv$$" netns "$ns" &&
    ip -n "$ns" link set "mv$$" name lan0 || tb_die "cannot add $host to LAN $2"
  tb_link_end "$ns" lan0 "$3"
  ip -n "$ns" route add 224.0.0.0/4 dev lan0 || tb_die "no multicast route in $host"
}

tb_link_end() {
  [ -n "$3" ] && { ip -n "$1" addr add "$3" dev "$2" || tb_die "cannot address $1/$2"; }
  ip netns exec "$1" sysctl -q -w "net.ipv4.conf.$2.rp_filter=0" >/dev/null
  ip -n "$1" link set "$2" up || tb_die "cannot bring up $1/$2"
}

# tb_exec short command...: runs a command inside a namespace of this run.
tb_exec() {
  local ns
  ns=$(tb_ns "$1")
  shift
  ip netns exec "$ns" "$@"
}

# tb_bg short command...: starts a command in the background inside a
# namespace, remembers its PID for clean-up and leaves it in TB_LASTPID.
# ip netns exec replaces itself by the command, so the PID is the command's.
# Standard input is the file named by TB_STDIN, /dev/null by default.
tb_bg() {
  local ns
  ns=$(tb_ns "$1")
  shift
  ip netns exec "$ns" "$@" <"${TB_STDIN:-/dev/null}" &
  TB_LASTPID=$!
  TB_PIDS+=("$TB_LASTPID")
}

# tb_stop pid: ends a process that this run started, by PID, and reaps it.
tb_stop() {
  kill -TERM "$1" 2>/dev/null
  local i
  for ((i = 0; i < 50; i++)); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  return 0
}

# tb_cleanup: the EXIT trap. Ends the processes this run started, by PID,
# then removes the namespaces, the mount and the work directory.
tb_cleanup() {
  local status=$? pid ns
  trap - EXIT
  for pid in "${TB_PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for pid in "${TB_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  for ns in "${TB_NAMESPACES[@]}"; do ip netns del "$ns" 2>/dev/null; done
  [ -n "$TB_MOUNTED" ] && umount /run/netns 2>/dev/null
  if [ -n "$TB_DIR" ] && [ -d "$TB_DIR" ]; then
    if [ "$status" -ne 0 ] && [ -n "$TB_KEEP_LOGS" ]; then
      echo "# logs kept in $TB_DIR" >&2
    else
      rm -rf "$TB_DIR"
    fi
  fi
  exit "$status"
}

# --- Outcomes -----------------------------------------------------------------

tb_die() {
  echo "not ok - test-bed: $*"
  TB_FAILED=$((TB_FAILED + 1))
  tb_summary
  exit 1
}

# tb_check description command...: one test outcome from a command's status.
tb_check() {
  local description=$1
  shift
  if "$@"; then
    echo "ok - $description"
    TB_PASSED=$((TB_PASSED + 1))
  else
    echo "not ok - $description"
    TB_FAILED=$((TB_FAILED + 1))
  fi
}

tb_summary() { echo "$TB_PASSED passed, $TB_FAILED failed"; }

# tb_done: asks every gateway still running to exit (SIGTERM for one started
# from its command line), checks that it exits
# with status 0 and that no gateway wrote a sanitizer report (leaks are
# reported at exit), prints the closing count line and exits 0 only when
# every check passed.
tb_done() {
  local gw
  for gw in "${!TB_GWERR[@]}"; do
    if ! tb_gone "${TB_GWPID[$gw]}"; then
      if [ -z "${TB_GWCTL[$gw]}" ]; then tb_app_stop "$gw"; else tb_gw_exit "$gw"; fi
      tb_check "$gw exits with status 0" [ "$TB_EXIT_STATUS" -eq 0 ]
    fi
    tb_check "no sanitizer report from $gw" tb_gw_clean "$gw"
  done
  tb_summary
  [ "$TB_FAILED" -eq 0 ]
  exit
}

# --- Waiting ------------------------------------------------------------------

tb_now_us() { echo "${EPOCHREALTIME/./}"; }

# tb_wait seconds command...: polls the command every 50 ms until it
# succeeds (status 0) or the time is up (status 1).
tb_wait() {
  local deadline=$(($(tb_now_us) + ${1%.*} * 1000000))
  shift
  while ! "$@"; do
    [ "$(tb_now_us)" -ge "$deadline" ] && return 1
    sleep 0.05
  done
  return 0
}

# --- Gateways -----------------------------------------------------------------

# tb_gw_start gw: starts veldra (the binary in $VELDRA) in namespace gw with
# driver.tcl, which takes commands from a FIFO while the gateway waits in
# its event loop, and waits until it is ready. A gateway started again
# (a restart) gets fresh log files.
tb_gw_start() {
  local gw=$1 gen=$((${TB_GWGEN[$1]:-0} + 1))
  [ -x "$VELDRA" ] || tb_die "VELDRA does not name the veldra binary: '$VELDRA'"
  TB_GWGEN[$gw]=$gen
  local base=$TB_DIR/$gw.$gen
  mkfifo "$base.ctl" || tb_die "cannot make $base.ctl"
  printf 'source {%s}\n' "$TB_HERE/driver.tcl" >"$base.in"
  : >"$base.out"
  TB_GWOUT[$gw]=$base.out TB_GWERR[$gw]=$base.err
  VLD_CTL=$base.ctl TB_STDIN=$base.in tb_bg "$gw" "$VELDRA" >"$base.out" 2>"$base.err"
  TB_GWPID[$gw]=$TB_LASTPID
  # Held open read-write by this shell too, so that writing a command never
  # blocks, even when the gateway has died.
  local fd
  exec {fd}<>"$base.ctl"
  TB_GWCTL[$gw]=$fd
  tb_wait 10 grep -q '^@@ready' "$base.out" || tb_die "$gw did not start: $(tail -5 "$base.err")"
  # TB_GW_DEBUG=3 traces every datagram to the gateway's standard error.
  if [ -n "$TB_GW_DEBUG" ]; then tb_gw_must "$gw" "corvex_setDebugLevel all $TB_GW_DEBUG" >/dev/null; fi
}

# tb_gw gw script: evaluates a one-line script at global level in the
# gateway and prints its result; the status is 0 when the script
# succeeded and 1 when it failed or did not answer in time.
tb_gw() {
  # The PID keeps the ids of calls made in command substitutions, whose
  # counter increments the parent shell never sees, apart.
  local gw=$1 id=$BASHPID.$((++TB_REQ)) line
  printf '%s %s\n' "$id" "$2" >&"${TB_GWCTL[$gw]}"
  if ! tb_wait "$TB_CMD_TIMEOUT" grep -q "^@@${id/./\\.} " "${TB_GWOUT[$gw]}"; then
    echo "$gw: no answer to: $2" >&2
    return 1
  fi
  line=$(grep -m1 "^@@${id/./\\.} " "${TB_GWOUT[$gw]}")
  line=${line#"@@$id "}
  echo "${line#* }"
  [ "${line%% *}" = ok ]
}

# tb_gw_must gw script: as tb_gw, but a failure ends the test.
tb_gw_must() {
  tb_gw "$@" || tb_die "$1: '$2' failed: $(tb_gw_last "$1")"
}

tb_gw_last() { grep '^@@' "${TB_GWOUT[$1]}" | tail -1; }

# tb_gw_bgerror gw text: true when the gateway's bgerror procedure has
# received exactly this message.
tb_gw_bgerror() { grep -qxF "@@bgerror $2" "${TB_GWOUT[$1]}"; }

# tb_gw_exit gw: asks the gateway to exit and waits for it; leaves its exit
# status in TB_EXIT_STATUS (137 when it had to be killed). Not to be called
# in a command substitution, whose subshell cannot wait for the gateway.
tb_gw_exit() {
  local gw=$1 pid=${TB_GWPID[$1]} fd=${TB_GWCTL[$1]}
  printf '0 exit 0\n' >&"$fd"
  if ! tb_wait 10 tb_gone "$pid"; then kill -KILL "$pid" 2>/dev/null; fi
  wait "$pid" 2>/dev/null
  TB_EXIT_STATUS=$?
  exec {fd}>&-
}

# tb_gw_kill gw: ends the gateway process at once (a crash), by its PID.
tb_gw_kill() {
  local fd=${TB_GWCTL[$1]}
  kill -KILL "${TB_GWPID[$1]}" 2>/dev/null
  wait "${TB_GWPID[$1]}" 2>/dev/null
  [ -n "$fd" ] && exec {fd}>&-
  return 0
}

tb_gone() { ! kill -0 "$1" 2>/dev/null; }

# tb_gw_clean gw: true when the gateway's standard error (all its runs)
# holds no sanitizer report; prints the report otherwise.
tb_gw_clean() {
  local files=("$TB_DIR/$1".*.err)
  if grep -lE 'AddressSanitizer|LeakSanitizer|runtime error:' "${files[@]}" >/dev/null; then
    grep -hE -A20 'AddressSanitizer|LeakSanitizer|runtime error:' "${files[@]}" | head -40 | sed 's/^/# /'
    return 1
  fi
}

# --- Gateways as a user runs them -------------------------------------------------

# tb_app_start gw args...: starts veldra in namespace gw from its real
# command line (options, peers, --config FILE) and waits until it has logged
# its start line. Its log (standard error) is tb_app_log gw; its PID is kept
# for tb_app_stop, tb_gw_kill and the clean-up. A restarted gateway gets a
# fresh log.
tb_app_start() {
  local gw=$1 gen=$((${TB_GWGEN[$1]:-0} + 1))
  shift
  [ -x "$VELDRA" ] || tb_die "VELDRA does not name the veldra binary: '$VELDRA'"
  TB_GWGEN[$gw]=$gen
  local base=$TB_DIR/$gw.$gen
  TB_GWOUT[$gw]=$base.out TB_GWERR[$gw]=$base.err TB_GWCTL[$gw]=""
  tb_bg "$gw" "$VELDRA" "$@" >"$base.out" 2>"$base.err"
  TB_GWPID[$gw]=$TB_LASTPID
  tb_wait 15 tb_app_logged "$gw" " started: " || tb_die "$gw did not start: $(tail -3 "$base.err")"
}

# tb_app_log gw: the gateway's log so far.
tb_app_log() { cat "${TB_GWERR[$1]}"; }

# tb_app_logged gw text: true when the gateway's log holds the text.
tb_app_logged() { grep -qF -- "$2" "${TB_GWERR[$1]}"; }

# tb_app_log_count gw text: how many lines of the gateway's log hold the text.
tb_app_log_count() { grep -cF -- "$2" "${TB_GWERR[$1]}"; }

# tb_app_stop gw: sends SIGTERM and waits (10 s at most) for the gateway to
# end; its exit status is left in TB_EXIT_STATUS (137 when it had to be
# killed). Not to be called in a command substitution.
tb_app_stop() {
  local pid=${TB_GWPID[$1]}
  kill -TERM "$pid" 2>/dev/null
  if ! tb_wait 10 tb_gone "$pid"; then kill -KILL "$pid" 2>/dev/null; fi
  wait "$pid" 2>/dev/null
  TB_EXIT_STATUS=$?
}

# tb_app_peer_up gw peerKey [seconds]: waits (10 s by default) until the
# gateway has logged the peer ("address:port") as up.
tb_app_peer_up() { tb_wait "${3:-10}" tb_app_logged "$1" "peer $2 is up"; }

# tb_gw_tunnel gw var peerWanAddress: creates the tunnel to a peer gateway
# and keeps its name in the gateway's global variable var.
tb_gw_tunnel() {
  tb_gw_must "$1" "set ::$2 [corvex_createUDPtunnel $3]" >/dev/null
}

# tb_gw_group gw group port ttl: a groupsock of the gateway's own for the
# group, read in the background, so that the gateway relays the group's
# local traffic to the tunnels that join it. Its channel name is kept in
# the gateway's ::gs(group:port).
tb_gw_group() {
  tb_gw_must "$1" "set ::gs($2:$3) [groupsock_create $2 $3 $4]; groupsock_turnOnBackgroundReadHandling \$::gs($2:$3)" >/dev/null
}

# tb_gw_activity gw var: the incoming activity count of the tunnel whose
# name is in var.
tb_gw_activity() { tb_gw "$1" "corvex_incomingActivityCount \$::$2"; }

# tb_tunnel_sync gwX varX gwY varY: makes both ends of a tunnel learn each
# other's current cookie, so that what they send next is accepted at once.
# A gateway draws a new cookie at its first tunnel write, so one probe each
# way may not be enough: probe both ways until a probe from each side has
# passed the other side's cookie check (its activity count rose).
tb_tunnel_sync() {
  local round
  for ((round = 0; round < 5; round++)); do
    tb_probe_passes "$1" "$2" "$3" "$4" && tb_probe_passes "$3" "$4" "$1" "$2" && return 0
  done
  tb_die "the tunnel between $1 and $3 does not pass probes"
}

# tb_probe_passes gwX varX gwY varY: sends one probe from X and waits for
# its answer (X's count rises); true when Y accepted the probe itself.
tb_probe_passes() {
  local x0 y0
  x0=$(tb_gw_activity "$1" "$2") && y0=$(tb_gw_activity "$3" "$4") || return 1
  tb_gw "$1" "corvex_sendProbe \$::$2" >/dev/null || return 1
  tb_wait 5 tb_count_above "$1" "$2" "$x0" || return 1
  [ "$(tb_gw_activity "$3" "$4")" -gt "$y0" ]
}

tb_count_above() { [ "$(tb_gw_activity "$1" "$2")" -gt "$3" ]; }

# --- Group membership as the kernel sees it -------------------------------------

# tb_joined ns iface group: true when the interface of the namespace is
# joined to the group.
tb_joined() { tb_exec "$1" ip maddr show dev "$2" | grep -qE "inet +${3//./\\.}( |\$)"; }
tb_not_joined() { ! tb_joined "$@"; }

# --- Senders and receivers: socat ----------------------------------------------

# tb_records file tag first count size: writes count fixed-size records,
# numbered from first, each "tag number ....\n" padded to size bytes.
tb_records() {
  awk -v tag="$2" -v first="$3" -v count="$4" -v size="$5" 'BEGIN {
    pad = sprintf("%*s", size, ""); gsub(/ /, ".", pad)
    for (i = first; i < first + count; i++) {
      r = sprintf("%s %08d ", tag, i)
      print r substr(pad, 1, size - 1 - length(r))
    }
  }' >"$1"
}

# tb_lan_addr name: the LAN address of hostA..hostC or gwA..gwC.
tb_lan_addr() {
  local n=$(($(printf '%d' "'${1: -1}") - 64))
  case $1 in
    host?) echo "10.201.$n.2" ;;
    gw?) echo "10.201.$n.1" ;;
  esac
}

# tb_recv_start host group port file [ifaddr iface]: a socat receiver in the
# host namespace that joins the group on the interface with that address
# (its LAN by default) and appends every datagram to the file; waits until
# the join is in place. PID in TB_LASTPID.
tb_recv_start() {
  local host=$1 group=$2 port=$3 file=$4 ifaddr=${5:-$(tb_lan_addr "$1")} iface=${6:-lan0}
  : >"$file"
  tb_bg "$host" socat -u "UDP4-RECV:$port,reuseaddr,ip-add-membership=$group:$ifaddr" \
    "OPEN:$file,append" 2>>"$TB_DIR/socat.err"
  local pid=$TB_LASTPID
  tb_wait 5 tb_joined "$host" "$iface" "$group" || tb_die "socat receiver in $host did not join $group"
  TB_LASTPID=$pid
}

# tb_send host group port file size [rate [source]]: sends the records of
# the file, one datagram each, from the host namespace to the group, about
# rate datagrams a second (200 by default), optionally from a given source
# address. The sender's multicast loopback is off, so a receiver on the
# same host sees only what comes back from elsewhere. Returns when done.
tb_send() {
  local host=$1 group=$2 port=$3 file=$4 size=$5 rate=${6:-200} source=$7
  local options="ip-multicast-loop=0,ip-multicast-ttl=16"
  [ -n "$source" ] && options="$options,bind=$source"
  local batch=$(((rate + 19) / 20)) n=0 record
  # socat reads at most size bytes at a time: one record, one datagram.
  while IFS= read -r record; do
    printf '%s\n' "$record"
    if (((++n % batch) == 0)); then sleep 0.05; fi
  done <"$file" | tb_exec "$host" socat -u -b "$size" STDIN "UDP4-DATAGRAM:$group:$port,$options" \
    2>>"$TB_DIR/socat.err"
}

# tb_send_bg ...: tb_send in the background; PID in TB_LASTPID.
tb_send_bg() {
  tb_send "$@" &
  TB_LASTPID=$!
  TB_PIDS+=("$TB_LASTPID")
}

# tb_size file: the file's size in bytes.
tb_size() { stat -c %s "$1"; }

# tb_has_bytes file n: true when the file holds at least n bytes.
tb_has_bytes() { [ "$(tb_size "$1")" -ge "$2" ]; }

# tb_same expected received: true when the received file holds exactly
# the expected records, in order; otherwise prints what differs.
tb_same() {
  cmp -s "$1" "$2" && return 0
  echo "# expected $(($(tb_size "$1"))) bytes, received $(($(tb_size "$2"))); first differences:"
  diff <(cut -c1-24 "$1") <(cut -c1-24 "$2") | head -8 | sed 's/^/#   /'
  return 1
}

# tb_stream_crosses from to group port size count: sends count numbered
# records of size bytes from host "from" (hostA..hostC) to the group, and
# tells whether the receiver file of host "to" ($TB_DIR/atA..atC, started
# by tb_recv_start) then holds exactly those, in order.
tb_stream_crosses() {
  local from=$1 to=$2 group=$3 port=$4 size=$5 count=$6
  local sent=$TB_DIR/from${from#host} received=$TB_DIR/at${to#host}
  tb_records "$sent" "from${from#host}" 1 "$count" "$size"
  : >"$received"
  tb_send "$from" "$group" "$port" "$sent" "$size"
  tb_wait 10 tb_has_bytes "$received" $((count * size))
  tb_settle
  tb_same "$sent" "$received"
}

# tb_empty file: true when nothing was received.
tb_empty() {
  [ ! -s "$1" ] && return 0
  echo "# unexpectedly received $(tb_size "$1") bytes: $(head -c 60 "$1")"
  return 1
}

# tb_settle: the grace period after which a datagram that has not arrived
# is taken as not sent. Used only to confirm an absence, never to time.
tb_settle() { sleep "${TB_SETTLE:-1}"; }

# --- Common gateway set-ups -------------------------------------------------------

# tb_pair: starts gwA and gwB with a tunnel to each other (names in ::tB on
# gwA and ::tA on gwB) whose cookies both ends know.
tb_pair() {
  tb_gw_start gwA
  tb_gw_start gwB
  tb_gw_tunnel gwA tB "$TB_WAN_B"
  tb_gw_tunnel gwB tA "$TB_WAN_A"
  tb_tunnel_sync gwA tB gwB tA
}

# tb_pair_group group port: both gateways of tb_pair read the group on
# their LAN and join it through the tunnel, so it flows both ways.
tb_pair_group() {
  tb_gw_group gwA "$1" "$2" 16
  tb_gw_group gwB "$1" "$2" 16
  tb_gw_must gwA "corvex_joinGroup \$::tB $1 $2 16" >/dev/null
  tb_gw_must gwB "corvex_joinGroup \$::tA $1 $2 16" >/dev/null
}

# tb_quiet command...: the command's status without its output.
tb_quiet() { "$@" >/dev/null; }
