# veldraStats.tcl --
#
# The gateway's figures and the status service. This script owns:
#   - the arithmetic (::veldra::stats): the engine's counters, as
#     corvex_getAllStats gives them, turned into per-peer and per-group
#     figures (datagrams and bytes in and out) with their rates over the
#     last sampling interval;
#   - the outputs: a one-line summary per peer on standard error (--stats),
#     the same data as JSON (tcllib's json::write), in the Prometheus text
#     exposition format, and as a small HTML page that refreshes itself;
#   - the status service (::veldra::status, --status): an HTTP server on
#     the gateway's own event loop. Every channel is non-blocking and every
#     request is bounded in size and time, so that no client can hold up the
#     relaying of a single datagram.
# Directions: "in" is what reached the gateway (from the peer through its
# tunnel; from the LAN for a group), "out" what the gateway sent (to the
# peer; to the LAN).

namespace eval ::veldra::stats {
    # The two latest samples, {milliseconds counters}, counters as parse
    # makes them.
    variable previous {}
    variable latest {}
    # Seconds between two samples, and whether each sample is logged.
    variable interval 5.0
    variable logSummary 0
}

# ::veldra::stats::requireLibraries --
#
#   Loads tcllib's json::write and html, once, when the first output that
#   needs them is made or the status service starts: finding a tcllib
#   package reads the index of every package, about 1 MB of memory that a
#   gateway without a status page has no use for.

proc ::veldra::stats::requireLibraries {} {
    package require json::write
    package require html
    json::write indented 0
    json::write aligned 0
    proc ::veldra::stats::requireLibraries {} {}
}

# ::veldra::stats::count --
#
#   A counter as the engine writes it ("%f" of a single-precision float,
#   123.000000) as an integer.

proc ::veldra::stats::count {text} {
    expr {wide(round($text))}
}

# ::veldra::stats::parse --
#
#   The result of corvex_getAllStats as a dictionary: "tunnels", peer
#   address -> {in {datagrams bytes} out {datagrams bytes}}, and
#   "groupsocks", "group:port" (source-specific: "source@group:port") ->
#   {group source port in {..} out {..}}.

proc ::veldra::stats::parse {allStats} {
    set tunnels [dict create]
    foreach {address inPackets inBytes outPackets outBytes} [lindex $allStats 8] {
        dict set tunnels $address [dict create \
            in [list [count $inPackets] [count $inBytes]] \
            out [list [count $outPackets] [count $outBytes]]]
    }
    set groupsocks [dict create]
    foreach {group source port inPackets inBytes outPackets outBytes - - - -} \
            [lindex $allStats 9] {
        if {$source eq "255.255.255.255"} {
            set source ""
        }
        set key [::veldra::groupKey [dict create group $group source $source port $port rtp 0]]
        dict set groupsocks $key [dict create group $group source $source port $port \
            in [list [count $inPackets] [count $inBytes]] \
            out [list [count $outPackets] [count $outBytes]]]
    }
    dict create tunnels $tunnels groupsocks $groupsocks
}

# ::veldra::stats::rate --
#
#   How fast a counter went from before to now over seconds. A counter that
#   went down was started again (its tunnel was re-created): all of now
#   counts.

proc ::veldra::stats::rate {before now seconds} {
    if {$seconds <= 0} {
        return 0.0
    }
    set delta [expr {$now >= $before ? $now - $before : $now}]
    expr {$delta / double($seconds)}
}

# ::veldra::stats::direction --
#
#   The figures of one direction: {datagrams bytes datagramRate byteRate}
#   from the counters now and before ({datagrams bytes} each; empty when
#   there was nothing before).

proc ::veldra::stats::direction {now before seconds} {
    lassign $now datagrams bytes
    if {[llength $before] != 2} {
        set before {0 0}
        set seconds 0
    }
    lassign $before datagramsBefore bytesBefore
    dict create datagrams $datagrams bytes $bytes \
        datagramRate [rate $datagramsBefore $datagrams $seconds] \
        byteRate [rate $bytesBefore $bytes $seconds]
}

# ::veldra::stats::figuresFrom --
#
#   The figures from two samples ({milliseconds counters}; the earlier may
#   be empty), the peers (::veldra::peerList) and the carried groups
#   (::veldra::carriedGroups): a dictionary {seconds peers groups}, peers
#   and groups being lists of dictionaries with their "in" and "out"
#   directions.

proc ::veldra::stats::figuresFrom {before now peers carried} {
    set counters [lindex $now 1]
    set earlier [lindex $before 1]
    set seconds 0
    if {[llength $before] == 2} {
        set seconds [expr {([lindex $now 0] - [lindex $before 0]) / 1000.0}]
    }
    set peerFigures {}
    foreach peer $peers {
        set address [dict get $peer address]
        foreach way {in out} {
            set current {0 0}
            set previous {}
            if {[dict exists $counters tunnels $address $way]} {
                set current [dict get $counters tunnels $address $way]
            }
            if {[dict exists $earlier tunnels $address $way]} {
                set previous [dict get $earlier tunnels $address $way]
            } elseif {$earlier ne ""} {
                set previous {0 0}
            }
            dict set peer $way [direction $current $previous $seconds]
        }
        lappend peerFigures $peer
    }
    set reasons [reasonsByGroupsock $carried]
    set groupFigures {}
    foreach key [lsort -dictionary [dict keys [dict get $counters groupsocks]]] {
        set groupsock [dict get $counters groupsocks $key]
        set why peer
        if {[dict exists $reasons $key]} {
            set why [dict get $reasons $key]
        }
        set figures [dict create key $key group [dict get $groupsock group] \
                         source [dict get $groupsock source] port [dict get $groupsock port] \
                         carried $why]
        foreach way {in out} {
            set previous {}
            if {[dict exists $earlier groupsocks $key $way]} {
                set previous [dict get $earlier groupsocks $key $way]
            } elseif {$earlier ne ""} {
                set previous {0 0}
            }
            dict set figures $way [direction [dict get $groupsock $way] $previous $seconds]
        }
        lappend groupFigures $figures
    }
    dict create seconds $seconds peers $peerFigures groups $groupFigures
}

# ::veldra::stats::reasonsByGroupsock --
#
#   Why each groupsock of the carried groups is open, by the groupsock's key
#   ("source@group:port" or "group:port"): the reasons of its group
#   ("configuration", "session discovery", "session ...", "receivers"). A
#   groupsock not found here was opened for a peer's request alone.

proc ::veldra::stats::reasonsByGroupsock {carried} {
    set result [dict create]
    dict for {key reasons} $carried {
        set flow [::veldra::parseGroup $key]
        foreach port [::veldra::groupPorts $flow] {
            dict set flow port $port
            dict set flow rtp 0
            dict set result [::veldra::groupKey $flow] $reasons
        }
    }
    return $result
}

# ::veldra::stats::sample --
#
#   Takes the engine's counters now; the rates are over the time since the
#   sample before. Logs the summary when asked to.

proc ::veldra::stats::sample {} {
    variable previous
    variable latest
    variable logSummary
    set previous $latest
    set latest [list [clock milliseconds] [parse [corvex_getAllStats]]]
    if {$logSummary} {
        foreach line [summaryLines [figures]] {
            tamsel_log $line
        }
    }
}

# ::veldra::stats::start --
#
#   Samples every interval seconds from now on; logSummary 1 logs the
#   one-line summary of every peer at each sample.

proc ::veldra::stats::start {seconds summary} {
    variable interval $seconds
    variable logSummary 0
    sample
    set logSummary $summary
    set milliseconds [expr {max(1, round($seconds * 1000))}]
    after $milliseconds [list ::veldra::stats::every $milliseconds]
}

proc ::veldra::stats::every {milliseconds} {
    after $milliseconds [list ::veldra::stats::every $milliseconds]
    sample
}

# ::veldra::stats::figures --
#
#   The figures of the two latest samples, with the current peers and
#   groups, and under "igmp" the learned groups (::veldra::igmp::status).

proc ::veldra::stats::figures {} {
    variable previous
    variable latest
    if {$latest eq ""} {
        set latest [list [clock milliseconds] [parse [corvex_getAllStats]]]
    }
    set figures [figuresFrom $previous $latest [::veldra::peerList] [::veldra::carriedGroups]]
    dict set figures igmp [::veldra::igmp::status]
    return $figures
}

# --- Text -----------------------------------------------------------------------

# ::veldra::stats::formatRate --
#
#   A direction's rates as "12.0 datagrams/s 105.6 kbit/s".

proc ::veldra::stats::formatRate {figures} {
    format "%.1f datagrams/s %s" [dict get $figures datagramRate] \
        [formatBits [expr {8 * [dict get $figures byteRate]}]]
}

proc ::veldra::stats::formatBits {bitsPerSecond} {
    foreach {unit size} {Gbit/s 1e9 Mbit/s 1e6 kbit/s 1e3} {
        if {$bitsPerSecond >= $size} {
            return [format "%.1f %s" [expr {$bitsPerSecond / $size}] $unit]
        }
    }
    format "%.0f bit/s" $bitsPerSecond
}

proc ::veldra::stats::formatBytes {bytes} {
    foreach {unit size} {GB 1e9 MB 1e6 kB 1e3} {
        if {$bytes >= $size} {
            return [format "%.1f %s" [expr {$bytes / $size}] $unit]
        }
    }
    return "$bytes B"
}

# ::veldra::stats::summaryLines --
#
#   One line per peer: its state, and in each direction the rates and the
#   totals.

proc ::veldra::stats::summaryLines {figures} {
    set lines {}
    foreach peer [dict get $figures peers] {
        set line "stats: peer [dict get $peer key] [dict get $peer state]"
        foreach way {in out} {
            set f [dict get $peer $way]
            append line "; $way [formatRate $f] ([dict get $f datagrams] datagrams,\
                         [formatBytes [dict get $f bytes]])"
        }
        lappend lines $line
    }
    return $lines
}

# --- JSON -------------------------------------------------------------------------

proc ::veldra::stats::jsonDirection {figures} {
    json::write object \
        datagrams [dict get $figures datagrams] bytes [dict get $figures bytes] \
        datagrams_per_second [format %.3f [dict get $figures datagramRate]] \
        bytes_per_second [format %.3f [dict get $figures byteRate]]
}

# ::veldra::stats::json --
#
#   The status as a JSON object: version, uptime, the sampling interval, the
#   peers and the groups with their figures.

proc ::veldra::stats::json {figures} {
    requireLibraries
    set peers {}
    foreach peer [dict get $figures peers] {
        lappend peers [json::write object \
            peer [json::write string [dict get $peer key]] \
            name [json::write string [dict get $peer name]] \
            state [json::write string [dict get $peer state]] \
            dynamic [expr {[dict get $peer dynamic] ? "true" : "false"}] \
            in [jsonDirection [dict get $peer in]] out [jsonDirection [dict get $peer out]]]
    }
    set groups {}
    foreach group [dict get $figures groups] {
        lappend groups [json::write object \
            group [json::write string [dict get $group group]] \
            source [json::write string [dict get $group source]] \
            port [dict get $group port] \
            carried_for [json::write array {*}[lmap reason [dict get $group carried] {
                json::write string $reason
            }]] \
            in [jsonDirection [dict get $group in]] out [jsonDirection [dict get $group out]]]
    }
    set fields [list \
        version [json::write string $::veldra_version] \
        uptime_seconds [expr {[clock seconds] - $::veldra::startedAt}] \
        tunnel_port [::veldra::setting tunnelPort] \
        interval_seconds [format %.3f [dict get $figures seconds]] \
        peers [json::write array {*}$peers] groups [json::write array {*}$groups]]
    if {[dict exists $figures igmp] && [dict get $figures igmp] ne ""} {
        lappend fields igmp [jsonIgmp [dict get $figures igmp]]
    }
    set refusals [refusals]
    if {$refusals ne ""} {
        lappend fields tunnel_socket [json::write object {*}$refusals]
    }
    json::write object {*}$fields
}

# ::veldra::stats::refusals --
#
#   What the tunnel socket holds and refused remote senders
#   (corvex_tunnelSocketStats), or nothing while no socket is open.

proc ::veldra::stats::refusals {} {
    if {[catch {corvex_tunnelSocketStats [::veldra::setting tunnelPort]} stats]} {
        return {}
    }
    return $stats
}

proc ::veldra::stats::jsonStrings {list} {
    json::write array {*}[lmap item $list {json::write string $item}]
}

# ::veldra::stats::jsonIgmp --
#
#   The learned groups (::veldra::igmp::status) as a JSON object.

proc ::veldra::stats::jsonIgmp {igmp} {
    set groups [lmap group [dict get $igmp groups] {
        json::write object group [json::write string [dict get $group group]] \
            sources [jsonStrings [dict get $group sources]] \
            receivers [jsonStrings [dict get $group receivers]] \
            since [dict get $group since]
    }]
    json::write object interface [json::write string [dict get $igmp interface]] \
        address [json::write string [dict get $igmp address]] \
        querier [json::write string [dict get $igmp querier]] \
        refused_reports [dict get $igmp refused] groups [json::write array {*}$groups]
}

# --- Prometheus -----------------------------------------------------------------

# ::veldra::stats::label --
#
#   A label value in the exposition format: backslash, double quote and
#   newline escaped.

proc ::veldra::stats::label {value} {
    string map [list \\ \\\\ \" \\\" \n \\n] $value
}

# ::veldra::stats::prometheus --
#
#   The figures in the Prometheus text exposition format (version 0.0.4):
#   the build, the start time, each peer's state, and datagram and byte
#   counters by peer or group and direction.

proc ::veldra::stats::prometheus {figures} {
    set text ""
    append text "# HELP veldra_build_info The running build of veldra.\n" \
        "# TYPE veldra_build_info gauge\n" \
        "veldra_build_info\{version=\"[label $::veldra_version]\"\} 1\n" \
        "# HELP veldra_start_time_seconds When the gateway started, in seconds since the epoch.\n" \
        "# TYPE veldra_start_time_seconds gauge\n" \
        "veldra_start_time_seconds $::veldra::startedAt\n" \
        "# HELP veldra_peer_up Whether the peer answers (1) or not (0); accepted gateways count as 1.\n" \
        "# TYPE veldra_peer_up gauge\n"
    foreach peer [dict get $figures peers] {
        set up [expr {[dict get $peer state] in {up accepted}}]
        append text "veldra_peer_up\{peer=\"[label [dict get $peer key]]\"\} $up\n"
    }
    foreach {what unit help} {
        peer datagrams "Datagrams through the tunnel; in: from the peer, out: to the peer."
        peer bytes "Bytes through the tunnel, trailers included; in: from the peer, out: to the peer."
        group datagrams "Datagrams of the group; in: from the LAN, out: to the LAN."
        group bytes "Payload bytes of the group; in: from the LAN, out: to the LAN."
    } {
        set name veldra_${what}_${unit}_total
        append text "# HELP $name $help\n# TYPE $name counter\n"
        foreach item [dict get $figures ${what}s] {
            set key [dict get $item key]
            foreach way {in out} {
                append text "$name\{$what=\"[label $key]\",direction=\"$way\"\}\
                             [dict get $item $way $unit]\n"
            }
        }
    }
    set refusals [refusals]
    if {$refusals ne ""} {
        append text "# HELP veldra_tunnel_socket Dynamic tunnels held, and what remote senders\
            were refused, by kind, since the start.\n# TYPE veldra_tunnel_socket gauge\n"
        dict for {kind count} $refusals {
            append text "veldra_tunnel_socket\{kind=\"$kind\"\} $count\n"
        }
    }
    if {[dict exists $figures igmp] && [dict get $figures igmp] ne ""} {
        append text [prometheusIgmp [dict get $figures igmp]]
    }
    return $text
}

# ::veldra::stats::prometheusIgmp --
#
#   The learned groups in the exposition format: who queries, the receivers
#   of each group, the refused reports.

proc ::veldra::stats::prometheusIgmp {igmp} {
    set querier [expr {[dict get $igmp querier] eq [dict get $igmp address]}]
    set text "# HELP veldra_igmp_querier Whether this gateway queries its LAN (1) or another\
        router does (0).\n# TYPE veldra_igmp_querier gauge\nveldra_igmp_querier $querier\n"
    append text "# HELP veldra_igmp_receivers Receivers heard on the LAN, by learned group.\n" \
        "# TYPE veldra_igmp_receivers gauge\n"
    foreach group [dict get $igmp groups] {
        append text "veldra_igmp_receivers\{group=\"[label [dict get $group group]]\"\}\
            [llength [dict get $group receivers]]\n"
    }
    append text "# HELP veldra_igmp_refused_reports_total Membership reports not followed (outside\
        --igmp-groups, or beyond --igmp-max-groups).\n" \
        "# TYPE veldra_igmp_refused_reports_total counter\n" \
        "veldra_igmp_refused_reports_total [dict get $igmp refused]\n"
}

# --- HTML -----------------------------------------------------------------------

proc ::veldra::stats::escape {text} {
    html::html_entities $text
}

# ::veldra::stats::html --
#
#   The status page: peers with their state and figures, groups with
#   theirs. It reloads itself every sampling interval.

proc ::veldra::stats::html {figures} {
    requireLibraries
    variable interval
    set refresh [expr {max(1, round($interval))}]
    set uptime [expr {[clock seconds] - $::veldra::startedAt}]
    set page "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\
        <meta http-equiv=\"refresh\" content=\"$refresh\">\
        <title>veldra status</title><style>\
        body\{font-family:sans-serif;margin:1.5em;color:#222\}\
        table\{border-collapse:collapse;margin-bottom:2em\}\
        th,td\{border:1px solid #bbb;padding:.3em .8em;text-align:right;white-space:nowrap\}\
        th\{background:#eee\} td.l,th.l\{text-align:left\}\
        .up,.accepted\{color:#070;font-weight:bold\} .down,.closed\{color:#b00;font-weight:bold\}\
        .starting\{color:#a60\}</style></head><body>\n"
    append page "<h1>veldra [escape $::veldra_version]</h1>\n<p>Up for [formatDuration $uptime];\
        tunnel port [::veldra::setting tunnelPort]; rates over the last\
        [format %.1f [dict get $figures seconds]] s.\
        <a href=\"/metrics\">metrics</a> | <a href=\"/status.json\">JSON</a></p>\n"
    append page "<h2>Peers</h2>\n<table><tr><th class=\"l\">peer</th><th class=\"l\">state</th>\
        <th>in</th><th>in total</th><th>out</th><th>out total</th></tr>\n"
    foreach peer [dict get $figures peers] {
        set state [dict get $peer state]
        set name [dict get $peer key]
        if {[dict get $peer name] ne [dict get $peer address]} {
            set name "[dict get $peer name] ($name)"
        }
        append page "<tr><td class=\"l\">[escape $name]</td>\
            <td class=\"l $state\">[escape $state]</td>[htmlDirection [dict get $peer in]]\
            [htmlDirection [dict get $peer out]]</tr>\n"
    }
    if {[llength [dict get $figures peers]] == 0} {
        append page "<tr><td class=\"l\" colspan=\"6\">no peers</td></tr>\n"
    }
    append page "</table>\n"
    set refusals [refusals]
    if {$refusals ne ""} {
        append page "<p>Tunnel socket: [escape [join [lmap {kind count} $refusals {
            string cat $kind " " $count
        }] {, }]].</p>\n"
    }
    append page "<h2>Groups</h2>\n<table><tr><th class=\"l\">group</th>\
        <th class=\"l\">carried for</th><th>from LAN</th><th>total</th><th>to LAN</th>\
        <th>total</th></tr>\n"
    foreach group [dict get $figures groups] {
        append page "<tr><td class=\"l\">[escape [dict get $group key]]</td>\
            <td class=\"l\">[escape [join [dict get $group carried] ", "]]</td>\
            [htmlDirection [dict get $group in]][htmlDirection [dict get $group out]]</tr>\n"
    }
    if {[llength [dict get $figures groups]] == 0} {
        append page "<tr><td class=\"l\" colspan=\"6\">no groups</td></tr>\n"
    }
    append page "</table>\n"
    if {[dict exists $figures igmp] && [dict get $figures igmp] ne ""} {
        append page [htmlIgmp [dict get $figures igmp]]
    }
    append page "</body></html>\n"
}

# ::veldra::stats::htmlIgmp --
#
#   The learned groups and their receivers, as a section of the page.

proc ::veldra::stats::htmlIgmp {igmp} {
    set querier [dict get $igmp querier]
    if {$querier eq [dict get $igmp address]} {
        append querier " (this gateway)"
    }
    set page "<h2>Receivers (IGMP on [escape [dict get $igmp interface]])</h2>\n<p>Querier:\
        [escape $querier]; reports refused: [dict get $igmp refused].</p>\n<table><tr>\
        <th class=\"l\">group</th><th class=\"l\">sources</th><th class=\"l\">receivers</th>\
        <th class=\"l\">since</th></tr>\n"
    foreach group [dict get $igmp groups] {
        set sources [expr {[llength [dict get $group sources]] ? [join [dict get $group sources] ", "]
                           : "any"}]
        append page "<tr><td class=\"l\">[escape [dict get $group group]]</td>\
            <td class=\"l\">[escape $sources]</td>\
            <td class=\"l\">[escape [join [dict get $group receivers] ", "]]</td>\
            <td class=\"l\">[clock format [dict get $group since] -format {%Y-%m-%d %H:%M:%S}]</td></tr>\n"
    }
    if {[llength [dict get $igmp groups]] == 0} {
        append page "<tr><td class=\"l\" colspan=\"4\">no receivers</td></tr>\n"
    }
    append page "</table>\n"
}

proc ::veldra::stats::htmlDirection {figures} {
    return "<td>[escape [formatRate $figures]]</td><td>[dict get $figures datagrams]\
        datagrams, [escape [formatBytes [dict get $figures bytes]]]</td>"
}

proc ::veldra::stats::formatDuration {seconds} {
    set days [expr {$seconds / 86400}]
    set text [format %02d:%02d:%02d [expr {$seconds % 86400 / 3600}] \
                  [expr {$seconds % 3600 / 60}] [expr {$seconds % 60}]]
    if {$days > 0} {
        set text "$days d $text"
    }
    return $text
}

# --- The status service -----------------------------------------------------------
#
# HTTP/1.1 GET (and HEAD) only, one request per connection. A request whose
# head exceeds maxRequest bytes is refused; a client that has not sent a
# whole request head within timeout milliseconds, or not taken its answer
# within that time, is dropped; beyond maxClients connections at once a new
# one is closed at once.

namespace eval ::veldra::status {
    variable server ""
    variable clients
    array set clients {}
    variable maxRequest 8192
    variable timeout 5000
    variable maxClients 64
}

# ::veldra::status::parseAddress --
#
#   [ADDR:]PORT as {address port}; the address defaults to loopback.

proc ::veldra::status::parseAddress {text} {
    if {[regexp {^(.*):([^:]*)$} $text -> address port]} {
        if {$address eq ""} {
            error "expected \[ADDR:\]PORT, got \"$text\""
        }
    } else {
        set address 127.0.0.1
        set port $text
    }
    list $address [tamsel_checkPort $port]
}

# ::veldra::status::start --
#
#   Serves the status on address and port; fails with the reason when the
#   port cannot be had.

proc ::veldra::status::start {address port} {
    variable server
    ::veldra::stats::requireLibraries
    set server [socket -server ::veldra::status::accept -myaddr $address $port]
}

proc ::veldra::status::accept {channel host port} {
    variable clients
    variable maxClients
    variable timeout
    if {[array size clients] >= $maxClients} {
        close $channel
        return
    }
    fconfigure $channel -blocking 0 -translation binary -buffering full
    set clients($channel) [dict create data "" \
        timer [after $timeout [list ::veldra::status::drop $channel]]]
    fileevent $channel readable [list ::veldra::status::receive $channel]
}

# ::veldra::status::drop --
#
#   Ends a client's connection, whatever state it is in.

proc ::veldra::status::drop {channel} {
    variable clients
    if {![info exists clients($channel)]} {
        return
    }
    after cancel [dict get $clients($channel) timer]
    unset clients($channel)
    catch {close $channel}
}

# ::veldra::status::receive --
#
#   Reads what the client sent; once the request head is whole, answers it.

proc ::veldra::status::receive {channel} {
    variable clients
    variable maxRequest
    if {[catch {read $channel 4096} chunk]} {
        drop $channel
        return
    }
    dict append clients($channel) data $chunk
    set data [dict get $clients($channel) data]
    if {[string length $data] > $maxRequest} {
        respond $channel "431 Request Header Fields Too Large" text/plain "request too large\n"
        return
    }
    set end [string first "\r\n\r\n" $data]
    if {$end < 0} {
        set end [string first "\n\n" $data]
    }
    if {$end < 0} {
        if {[eof $channel]} {
            drop $channel
        }
        return
    }
    fileevent $channel readable {}
    set requestLine [lindex [split [string range $data 0 $end] \n] 0]
    answer $channel [string trimright $requestLine \r]
}

# ::veldra::status::answer --
#
#   Answers one request line.

proc ::veldra::status::answer {channel requestLine} {
    if {![regexp {^([A-Z]+) (\S+) HTTP/1\.[01]$} $requestLine -> method target]} {
        respond $channel "400 Bad Request" text/plain "bad request\n"
        return
    }
    if {$method ni {GET HEAD}} {
        respond $channel "405 Method Not Allowed" text/plain "only GET and HEAD\n" \
            "Allow: GET, HEAD\r\n"
        return
    }
    set path [lindex [split $target ?] 0]
    set head [expr {$method eq "HEAD"}]
    switch -- $path {
        / - /index.html {
            set type "text/html; charset=utf-8"
            set body [::veldra::stats::html [::veldra::stats::figures]]
        }
        /metrics {
            set type "text/plain; version=0.0.4; charset=utf-8"
            set body [::veldra::stats::prometheus [::veldra::stats::figures]]
        }
        /status.json {
            set type "application/json"
            set body [::veldra::stats::json [::veldra::stats::figures]]
        }
        default {
            respond $channel "404 Not Found" text/plain "not found\n"
            return
        }
    }
    respond $channel "200 OK" $type $body "" $head
}

# ::veldra::status::respond --
#
#   Queues the answer and closes the connection once it has gone out (or
#   when the client's time is up).

proc ::veldra::status::respond {channel status type body {extraHeaders ""} {headOnly 0}} {
    set body [encoding convertto utf-8 $body]
    set head "HTTP/1.1 $status\r\nContent-Type: $type\r\nContent-Length:\
        [string length $body]\r\nCache-Control: no-store\r\nConnection: close\r\n$extraHeaders\r\n"
    fileevent $channel readable {}
    if {[catch {
        puts -nonewline $channel $head
        if {!$headOnly} {
            puts -nonewline $channel $body
        }
        flush $channel
    }]} {
        drop $channel
        return
    }
    fileevent $channel writable [list ::veldra::status::finish $channel]
}

proc ::veldra::status::finish {channel} {
    if {[catch {flush $channel}] || [chan pending output $channel] == 0} {
        drop $channel
    }
}
