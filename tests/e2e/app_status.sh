#!/bin/bash
# The status service of a gateway run from its command line, asked from
# hostA with curl: the page, the metrics (which promtool must accept), the
# JSON, unknown paths and methods; requests bounded in size and time while
# relaying goes on untouched; many clients at once; and the page as a
# browser shows it (headless Chromium, with a screenshot).
# Usage: app_status.sh path/to/veldra
# TB_SCREENSHOT=file.png keeps a copy of the screenshot.
. "$(dirname "$0")/testbed.sh"
TB_NEEDS="socat curl promtool chromium tclsh"
tb_enter "$0" "$@"
VELDRA=$1
tb_setup 2

G=239.1.13.1 P=5130 SIZE=200
URL=http://$TB_GW_A:8080
tb_app_start gwA -g $G:$P --probe-interval 1 --status $TB_GW_A:8080 "$TB_WAN_B"
tb_app_start gwB -g $G:$P --probe-interval 1 "$TB_WAN_A"
tb_app_peer_up gwA "$TB_WAN_B:10100" || tb_die "gwA does not see gwB up"
tb_recv_start hostA $G $P "$TB_DIR/atA"
tb_recv_start hostB $G $P "$TB_DIR/atB"
tb_stream_crosses hostA hostB $G $P $SIZE 100 || tb_die "the group does not cross"

get() { tb_exec hostA curl -s --max-time 5 "$@"; }

# Test the three documents and the refusals.
get $URL/ >"$TB_DIR/page.html"
tb_check "the page shows the peer up" \
  grep -q "$TB_WAN_B:10100</td> *<td class=\"l up\">up</td>" "$TB_DIR/page.html"
tb_check "the page shows the group" grep -q ">$G:$P</td>" "$TB_DIR/page.html"
get $URL/metrics >"$TB_DIR/metrics"
tb_check "promtool accepts /metrics" tb_exec hostA promtool check metrics <"$TB_DIR/metrics"
tb_check "/metrics has the peer's state" grep -qx "veldra_peer_up{peer=\"$TB_WAN_B:10100\"} 1" "$TB_DIR/metrics"
tb_check "/metrics counts the group's datagrams" \
  grep -qx "veldra_group_datagrams_total{group=\"$G:$P\",direction=\"in\"} 100" "$TB_DIR/metrics"
get $URL/status.json >"$TB_DIR/status.json"
json_field() {
  tclsh <<EOF
package require json
set status [json::json2dict [read [open {$TB_DIR/status.json}]]]
puts [$1]
EOF
}
tb_check "/status.json is JSON with the peer up" \
  [ "$(json_field 'dict get [lindex [dict get $status peers] 0] state')" = up ]
tb_check "/status.json counts the peer's datagrams out" \
  [ "$(json_field 'dict get [lindex [dict get $status peers] 0] out datagrams')" -ge 100 ]
tb_check "an unknown path gets 404" [ "$(get -o /dev/null -w '%{http_code}' $URL/nope)" = 404 ]
tb_check "a POST gets 405" [ "$(get -o /dev/null -w '%{http_code}' -d x $URL/)" = 405 ]
tb_check "a request head over 8 kB gets 431" [ "$(get -o /dev/null -w '%{http_code}' \
  -H "X-Padding: $(head -c 9000 /dev/zero | tr '\0' x)" $URL/)" = 431 ]

# Test that a client that never finishes its request is dropped after 5 s,
# and that meanwhile other clients are served and datagrams keep crossing.
(sleep 20) | tb_exec hostA socat - TCP:$TB_GW_A:8080 >/dev/null &
slow=$!
TB_PIDS+=("$slow")
sleep 0.5
start=$(tb_now_us)
tb_check "another client is served meanwhile" [ "$(get -o /dev/null -w '%{http_code}' $URL/)" = 200 ]
tb_check "a stream crosses meanwhile" tb_stream_crosses hostA hostB $G $P $SIZE 100
tb_wait 10 tb_gone $slow
held=$((($(tb_now_us) - start) / 1000 + 500))
echo "# figure: the silent client was dropped after about $held ms"
tb_check "the silent client is dropped within 7 s" [ "$held" -le 7000 ]

# Test that 50 clients at once are all served.
for i in $(seq 50); do get -o /dev/null -w '%{http_code}\n' $URL/metrics >>"$TB_DIR/codes" & done
wait_codes() { [ "$(grep -c . "$TB_DIR/codes")" -eq 50 ]; }
tb_wait 20 wait_codes
tb_check "50 clients at once are all served" [ "$(grep -c '^200$' "$TB_DIR/codes")" -eq 50 ]

# Test the page in a browser: headless Chromium loads it (its DOM holds the
# peer and the group) and takes a screenshot.
chromium_run() {
  local profile
  profile=$(mktemp -d "$TB_DIR/chromium.XXXXXX")
  HOME=$profile tb_exec hostA timeout 60 chromium --headless --no-sandbox --disable-gpu \
    --disable-quic --no-first-run --disable-background-networking --disable-component-update \
    --disable-sync --disable-dev-shm-usage --user-data-dir="$profile" "$@" 2>>"$TB_DIR/chromium.err"
}
chromium_run --dump-dom $URL/ >"$TB_DIR/dom.html"
tb_check "Chromium's page shows the peer" grep -q "$TB_WAN_B:10100" "$TB_DIR/dom.html"
tb_check "Chromium's page shows the group" grep -q "$G:$P" "$TB_DIR/dom.html"
chromium_run --window-size=1200,600 --screenshot="$TB_DIR/status.png" $URL/ >/dev/null
tb_check "Chromium takes a screenshot of the page" tb_has_bytes "$TB_DIR/status.png" 5000
if [ -n "$TB_SCREENSHOT" ] && [ -s "$TB_DIR/status.png" ]; then cp "$TB_DIR/status.png" "$TB_SCREENSHOT"; fi
tb_done
