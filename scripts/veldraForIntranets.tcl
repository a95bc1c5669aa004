# veldraForIntranets.tcl --
#
# The gateway's main script. It owns:
#   - the options (veldra_options): the command line, the configuration
#     file, their checking, --help and --version;
#   - the start: engine settings, peers, groups, accepted networks, session
#     discovery, liveness, statistics, the status service, signals, the
#     console; every failure at start is one line on standard error, exit
#     status 2 for a mistake in options or configuration, 1 for a peer,
#     group, tunnel or port that cannot be had;
#   - the wait: with a peer, a group or an accepted network the gateway runs
#     in the event loop until a signal ends it. With none of them this
#     script returns, and start-up evaluates script commands read from
#     standard input, as a gateway set up by hand needs.

source tamsel_common.tcl
source veldraCommon.tcl
source veldraStats.tcl
source veldraIgmp.tcl

set veldra_version @VELDRA_VERSION@

set veldra_options {
    {{-p --port} N "local tunnel port (10100)" {check tamsel_checkPort}}
    {{-g --group} {[SOURCE@]GROUP:PORT[/rtp]} "carry a group to and from every peer (repeatable)"
        {check ::veldra::parseGroup repeat 1}}
    {--ttl N "time-to-live of the carried groups (255)" {check {tamsel_checkInteger 1 255}}}
    {--lan ADDR "address of the LAN side (default: multicast route)" {check tamsel_resolve}}
    {--sap "" "carry the sessions announced on the LAN (SAP)"}
    {--igmp "" "carry the groups LAN receivers join (IGMP; as root)"}
    {--igmp-query-interval SECONDS "seconds between IGMP queries (125)"
        {check {tamsel_checkInteger 2 31744}}}
    {--igmp-groups CIDR "groups --igmp carries (repeatable; 224.0.0.0/4)"
        {check ::veldra::igmp::parseNetwork repeat 1}}
    {--igmp-ports PORT[/rtp] "their ports (repeatable; 1234 5004/rtp)"
        {check ::veldra::igmp::parsePort repeat 1}}
    {--igmp-max-groups N "most groups --igmp carries at once (256)"
        {check {tamsel_checkInteger 1 65536}}}
    {--accept CIDR "also accept gateways from this network (repeatable)"
        {check ::veldra::parseNetwork repeat 1}}
    {--master-only "" "peers may not make this gateway join or leave"}
    {--locally-only "" "carry only multicast sent by this host"}
    {--no-cookie-check "" "accept tunnel datagrams whatever their cookie"}
    {--mesh "" "sites in a full mesh: no relaying between tunnels"}
    {--probe-interval SECONDS "seconds between liveness probes (5)"
        {check {tamsel_checkSeconds 0.1 3600}}}
    {--stats SECONDS "a summary line per peer every SECONDS, on stderr"
        {check {tamsel_checkSeconds 0.1 86400}}}
    {--status {[ADDR:]PORT} "HTTP status service (ADDR default 127.0.0.1)"
        {check ::veldra::status::parseAddress}}
    {--config FILE "read options from FILE; the command line overrides"}
    {--debug LEVEL "engine trace level, -1 to 3 (1)" {check {tamsel_checkInteger -1 3}}}
    {--console "" "keep reading script commands from standard input"}
    {--verbose "" "log start-up to standard error"}
    {{-h --help} "" "print this help and exit"}
    {--version "" "print the version and exit"}
}

# The keys of a configuration file: the options but these, and "peer".
set veldra_configKeys [list {*}[lmap declaration $veldra_options {
    if {[tamsel_optionKey $declaration] in {--config --help --version}} continue
    set declaration
}] {--peer HOST[:PORT] "a peer gateway" {check ::veldra::parsePeer repeat 1}}]

# veldra_fail --
#
#   Ends the process with a one-line reason on standard error.

proc veldra_fail {status message} {
    puts stderr "veldra: $message"
    exit $status
}

# veldra_readOptions --
#
#   The options of the command line and, with --config, of the file, merged;
#   with the key "peers" holding every peer as {host port}. A mistake ends
#   the process with status 2; --help and --version end it with 0.

proc veldra_readOptions {argv} {
    global veldra_options veldra_configKeys veldra_version
    if {[catch {tamsel_parseOptions $argv $veldra_options} commandLine details]} {
        if {[dict get $details -errorcode] ne {TAMSEL USAGE}} {
            return -options $details $commandLine
        }
        veldra_fail 2 "$commandLine (try --help)"
    }
    if {[dict exists $commandLine --help]} {
        puts [tamsel_usage "veldra \[options\] \[PEER ...\]" [join {
            "A multicast tunnelling gateway for IPv4. It carries multicast groups"
            "between this site's LAN and the PEER gateways (HOST\[:PORT\], port 10100"
            "by default) through UDP tunnels: those --group names, and with --igmp"
            "those that receivers on the LAN join. With no peer, no group and no"
            "--accept it evaluates script commands read from standard input until"
            "they end."
        } \n] $veldra_options]
        exit 0
    }
    if {[dict exists $commandLine --version]} {
        puts "veldra $veldra_version"
        exit 0
    }
    set options $commandLine
    if {[dict exists $commandLine --config]} {
        if {[catch {tamsel_readConfig [dict get $commandLine --config] $veldra_configKeys} \
                 fromFile details]} {
            if {[dict get $details -errorcode] ne {TAMSEL USAGE}} {
                return -options $details $fromFile
            }
            veldra_fail 2 $fromFile
        }
        set options [tamsel_mergeOptions $fromFile $commandLine $veldra_configKeys]
    }
    set peers {}
    if {[dict exists $options --peer]} {
        set peers [dict get $options --peer]
    }
    foreach word [dict get $options ""] {
        if {[catch {::veldra::parsePeer $word} peer]} {
            veldra_fail 2 "peer \"$word\": $peer (try --help)"
        }
        lappend peers $peer
    }
    dict set options peers $peers
    return $options
}

# veldra_option --
#
#   An option's value, or the default when it was not given.

proc veldra_option {options name {default ""}} {
    if {[dict exists $options $name]} {
        return [dict get $options $name]
    }
    return $default
}

# veldra_applySettings --
#
#   The engine's switches and the settings of the gateway's policy; they
#   must be in place before the first socket is made.

proc veldra_applySettings {options} {
    set port [veldra_option $options --port 10100]
    foreach flow [veldra_option $options --group] {
        if {$port in [::veldra::groupPorts $flow]} {
            veldra_fail 2 "group [::veldra::groupKey $flow] uses the tunnel port $port"
        }
    }
    foreach igmpPort [veldra_option $options --igmp-ports] {
        set flow [dict merge {group 239.0.0.1 source {}} $igmpPort]
        if {$port in [::veldra::groupPorts $flow]} {
            veldra_fail 2 "--igmp-ports [::veldra::igmp::portText $igmpPort] uses the tunnel port $port"
        }
    }
    dict set ::veldra::settings tunnelPort $port
    dict set ::veldra::settings ttl [veldra_option $options --ttl 255]
    dict set ::veldra::settings masterOnly [veldra_option $options --master-only 0]
    dict set ::veldra::settings locallyOnly [veldra_option $options --locally-only 0]
    dict set ::veldra::settings probeInterval [veldra_option $options --probe-interval 5.0]
    dict set ::veldra::settings accept [veldra_option $options --accept]
    if {[dict exists $options --debug]} {
        corvex_setDebugLevel all [dict get $options --debug]
    }
    if {[dict exists $options --no-cookie-check]} {
        corvex_disableCookieCheck
    }
    corvex_splitHorizon [veldra_option $options --mesh 0]
    foreach {option key} {--igmp-query-interval queryInterval --igmp-groups networks
                          --igmp-ports ports --igmp-max-groups maxGroups} {
        if {[dict exists $options $option]} {
            dict set ::veldra::igmp::config $key [dict get $options $option]
        }
    }
    if {[dict exists $options --lan]} {
        groupsock_setReceivingInterfaceAddress [dict get $options --lan]
        groupsock_setSendingInterfaceAddress [dict get $options --lan]
    }
}

# veldra_routeDevice --
#
#   The interface the kernel routes address over, or empty.

proc veldra_routeDevice {address} {
    if {[catch {exec ip -o route get $address 2>/dev/null} route]
        || ![regexp {\mdev (\S+)} $route -> device]} {
        return ""
    }
    return $device
}

# veldra_lanDevice --
#
#   The LAN interface: the one that holds the --lan address, or else the one
#   the route to 224.0.0.0/4 points at; empty when there is none.

proc veldra_lanDevice {lan} {
    if {$lan eq ""} {
        return [veldra_routeDevice 224.0.0.1]
    }
    if {[catch {exec ip -o addr show to $lan 2>/dev/null} line]
        || ![regexp {^\d+: (\S+)} $line -> device]} {
        return ""
    }
    return $device
}

# veldra_checkLanSide --
#
#   Warns when the groups would be joined and sent on the interface that
#   leads to the peers: the route to 224.0.0.0/4 (or the --lan address)
#   points at the WAN, an easy thing to get wrong on a gateway.

proc veldra_checkLanSide {lan peerAddresses} {
    if {[auto_execok ip] eq ""} {
        return
    }
    set device [veldra_lanDevice $lan]
    if {$lan ne ""} {
        if {$device eq ""} {
            tamsel_log "warning: --lan $lan is not an address of this host"
            return
        }
        set what "the --lan address $lan is on $device"
    } else {
        if {$device eq ""} {
            tamsel_log "warning: there is no route to 224.0.0.0/4; give --lan or route it to the LAN"
            return
        }
        set what "the route to 224.0.0.0/4 points at $device"
    }
    foreach address $peerAddresses {
        if {[veldra_routeDevice $address] eq $device} {
            tamsel_log "warning: $what, the interface that leads to peer $address: groups\
                        would be joined and sent on the WAN side (give --lan, or route\
                        224.0.0.0/4 to the LAN)"
            return
        }
    }
}

# veldra_startIgmp --
#
#   With --igmp: listens to the membership reports on the LAN interface and
#   carries the groups they ask for. Ends the process with status 1 when
#   that cannot be done.

proc veldra_startIgmp {options} {
    if {![dict exists $options --igmp]} {
        return
    }
    set device [veldra_lanDevice [veldra_option $options --lan]]
    if {$device eq ""} {
        veldra_fail 1 "--igmp: cannot tell the LAN interface (give --lan, or route 224.0.0.0/4\
                       to the LAN)"
    }
    if {[catch {::veldra::igmp::start $device} message]} {
        veldra_fail 1 "--igmp: $message"
    }
}

# veldra_startServices --
#
#   Statistics and the status service, when asked for.

proc veldra_startServices {options} {
    set status [veldra_option $options --status]
    if {[dict exists $options --stats]} {
        ::veldra::stats::start [dict get $options --stats] 1
    } elseif {$status ne ""} {
        ::veldra::stats::start [::veldra::setting probeInterval] 0
    }
    if {$status ne ""} {
        lassign $status address port
        if {[catch {::veldra::status::start $address $port} message]} {
            veldra_fail 1 "cannot serve the status on $address:$port: $message"
        }
    }
}

# veldra_console --
#
#   Evaluates the script commands read from standard input while the
#   gateway runs; failures are written to standard error. The end of the
#   input ends the console, not the gateway.

proc veldra_console {} {
    global veldra_consoleCommand
    if {[catch {gets stdin line} count] || $count < 0} {
        if {[catch {eof stdin} ended] || $ended} {
            fileevent stdin readable {}
            tamsel_log "console: end of standard input"
        }
        return
    }
    append veldra_consoleCommand $line \n
    if {![info complete $veldra_consoleCommand]} {
        return
    }
    set command $veldra_consoleCommand
    set veldra_consoleCommand ""
    if {[catch {uplevel #0 $command} result]} {
        puts stderr $result
    }
}

# veldra_startLine --
#
#   The log line that tells what the gateway has started with.

proc veldra_startLine {options peerKeys} {
    set parts [list "tunnel port [::veldra::setting tunnelPort]"]
    lappend parts "peers: [expr {[llength $peerKeys] ? [join $peerKeys {, }] : {none}}]"
    set groups [dict keys [::veldra::carriedGroups]]
    lappend parts "groups: [expr {[llength $groups] ? [join $groups {, }] : {none}}]"
    if {[dict exists $options --accept]} {
        lappend parts "accepting tunnels from [join [dict get $options --accept] {, }]"
    }
    if {[dict exists $options --mesh]} {
        lappend parts "full mesh"
    }
    if {[dict exists $options --igmp]} {
        lappend parts "groups on demand (IGMP on $::veldra::igmp::interface)"
    }
    if {[dict exists $options --status]} {
        lassign [dict get $options --status] address port
        lappend parts "status on http://$address:$port/"
    }
    return "veldra $::veldra_version started: [join $parts {; }]"
}

# veldra_startGateway --
#
#   Starts everything the options ask for and waits in the event loop.

proc veldra_startGateway {options} {
    set peerKeys {}
    foreach peer [dict get $options peers] {
        lassign $peer host port
        if {[catch {::veldra::addPeer $host $port} key]} {
            veldra_fail 1 "peer \"$host\": $key"
        }
        lappend peerKeys $key
    }
    set peerKeys [lsort -unique $peerKeys]
    veldra_checkLanSide [veldra_option $options --lan] [lmap key $peerKeys {
        lindex [split $key :] 0
    }]
    foreach flow [veldra_option $options --group] {
        if {[catch {::veldra::addGroup $flow configuration} message]} {
            veldra_fail 1 $message
        }
    }
    if {[catch {::veldra::startPeers} message]} {
        veldra_fail 1 $message
    }
    if {[dict exists $options --accept]} {
        if {[catch {corvex_createDynamicTunnelSocket [::veldra::setting tunnelPort] \
                        [dict get $options --accept]} message]} {
            veldra_fail 1 "cannot accept tunnels on port [::veldra::setting tunnelPort]: $message"
        }
    }
    if {[dict exists $options --sap]} {
        if {[catch {::veldra::sap::start} message]} {
            veldra_fail 1 "session discovery: $message"
        }
    }
    veldra_startIgmp $options
    ::veldra::startLiveness
    veldra_startServices $options
    veldra_onSignal SIGTERM {::veldra::shutdown SIGTERM}
    veldra_onSignal SIGINT {::veldra::shutdown SIGINT}
    if {[dict exists $options --console]} {
        fconfigure stdin -blocking 0
        fileevent stdin readable veldra_console
    }
    tamsel_log [veldra_startLine $options $peerKeys]
    # From here on [source] reads real files, for the console's sake.
    rename source {}
    rename old_source source
    vwait ::veldra::forever
}

set veldra_commandLine [veldra_readOptions $argv]
veldra_applySettings $veldra_commandLine
if {[llength [dict get $veldra_commandLine peers]] > 0
    || [dict exists $veldra_commandLine --group] || [dict exists $veldra_commandLine --accept]} {
    veldra_startGateway $veldra_commandLine
}
if {[dict exists $veldra_commandLine --sap]} {
    ::veldra::sap::start
}
veldra_startIgmp $veldra_commandLine
veldra_startServices $veldra_commandLine
if {[dict exists $veldra_commandLine --verbose]} {
    tamsel_log "veldra $veldra_version started; reading commands from standard input"
}
