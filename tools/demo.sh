#!/bin/bash
# The two-site demonstration behind "./run.sh --demo": two sites, each a LAN
# with a host and a gateway, whose gateways reach each other over a WAN that
# has no multicast routing. Everything lives in network namespaces that this
# script makes and removes itself (the machine's own network sees nothing).
# The gateways are started from their real command lines; a host on each
# LAN sends to group 239.1.2.3 port 5004 and the host at the other site
# receives it. Ends by itself in about 30 seconds. Needs root.
# Usage: tools/demo.sh path/to/veldra
here=$(cd "$(dirname "$0")" && pwd)
TB_NEEDS="socat curl"
. "$here/../tests/e2e/testbed.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "The demonstration makes network namespaces, which needs root: sudo ./run.sh --demo" >&2
  exit 1
fi
tb_enter "$0" "$@"
VELDRA=$(readlink -f "$1")
G=239.1.2.3 P=5004

# say text: a heading, in bold on a terminal.
say() {
  if [ -t 1 ]; then printf '\n\033[1m%s\033[0m\n' "$*"; else printf '\n%s\n' "$*"; fi
}
# show_log gw site: prints the gateway's new log lines as they come, marked.
show_log() {
  tail -n +1 -F "$TB_DIR/$1.log" 2>/dev/null | sed -u "s/^/  [$2 gateway] /" &
  TB_PIDS+=("$!")
}
# receive host site: prints what the host receives of the group.
receive() {
  tb_bg "$1" socat -u "UDP4-RECV:$P,reuseaddr,ip-add-membership=$G:$(tb_lan_addr "$1")" - \
    > >(sed -u "s/^/  [$2 host] received: /")
}
# send host site count: the host sends count greetings, two a second.
send() {
  local i
  for ((i = 1; i <= $3; i++)); do
    printf 'hello from a host at %s, number %d\n' "$2" "$i"
    sleep 0.5
  done | tb_exec "$1" socat -u - "UDP4-DATAGRAM:$G:$P,ip-multicast-ttl=16,ip-multicast-loop=0" &
  TB_PIDS+=("$!")
}

say "1. Two sites in network namespaces"
tb_setup 2
cat <<EOF
  site A: LAN 10.201.1.0/24, host $TB_HOST_A, gateway $TB_GW_A, gateway's WAN address $TB_WAN_A
  site B: LAN 10.201.2.0/24, host $TB_HOST_B, gateway $TB_GW_B, gateway's WAN address $TB_WAN_B
  The WAN carries unicast only: no multicast crosses it without the gateways.
EOF

say "2. One gateway per site, each naming the group and the other gateway"
echo "  site A: veldra --group $G:$P --stats 5 --status $TB_GW_A:8080 $TB_WAN_B"
echo "  site B: veldra --group $G:$P --stats 5 $TB_WAN_A"
tb_bg gwA "$VELDRA" --group $G:$P --stats 5 --status $TB_GW_A:8080 "$TB_WAN_B" 2>"$TB_DIR/gwA.log"
gwA=$TB_LASTPID
tb_bg gwB "$VELDRA" --group $G:$P --stats 5 "$TB_WAN_A" 2>"$TB_DIR/gwB.log"
gwB=$TB_LASTPID
show_log gwA "site A"
show_log gwB "site B"
seen_up() { grep -q "is up" "$TB_DIR/gwA.log" && grep -q "is up" "$TB_DIR/gwB.log"; }
tb_wait 15 seen_up || { echo "the gateways did not see each other; see above" >&2; exit 1; }

say "3. A host at each site sends to $G:$P; the host at the other site receives"
receive hostA "site A"
receive hostB "site B"
sleep 1
send hostA "site A" 20
send hostB "site B" 20
sleep 6

say "4. Live figures from site A's status service (the page: http://$TB_GW_A:8080/ in site A)"
tb_exec hostA curl -s http://$TB_GW_A:8080/metrics | grep -E '^veldra_(peer|group)_datagrams_total|^veldra_peer_up' |
  sed 's/^/  /'
sleep 6
tb_exec hostA curl -s http://$TB_GW_A:8080/metrics | grep -E '^veldra_peer_datagrams_total' | sed 's/^/  /'

say "5. Stopping the gateways (SIGTERM) and removing the namespaces"
sleep 1
kill -TERM "$gwA" "$gwB"
wait "$gwA" "$gwB"
sleep 0.3
say "Done. The README's deployment section shows how to run veldra at real sites."
exit 0
