# veldraCommon.tcl --
#
# The gateway's policy. This script owns:
#   - the forms of peers, groups and networks as the command line and the
#     configuration give them (::veldra::parsePeer, parseGroup, parseNetwork);
#   - peers: one tunnel per peer gateway, probed every probe interval,
#     logged once as down after three silent intervals and once as up when
#     it answers again, re-created with back-off (1 s doubling to 60 s) after
#     a tear-down; tunnels that accepted gateways open (dynamic tunnels) are
#     logged as they come and go, and never re-created;
#   - groups: the local groupsock of every carried group, read in the
#     background, and the joins through every tunnel, for groups from the
#     configuration, from session discovery and from receivers (IGMP) alike;
#   - session discovery (namespaces ::veldra::sap and ::veldra::sdp): the
#     session announcement header, the lines of the session description
#     that name groups and ports, and the table of announced sessions;
#   - shutdown: every peer is told to stop sending (the groups are left),
#     then the process exits with status 0.
# It reads no options itself: the main script hands it the settings.
#
# A group to carry is held as a flow, the dictionary {group source port
# rtp} that parseGroup makes: the group and source (empty for any source)
# dotted, the first port, and rtp 1 when PORT + 1 goes with it.

namespace eval ::veldra {
    # Set by the main script before anything starts.
    variable settings [dict create tunnelPort 10100 ttl 255 masterOnly 0 locallyOnly 0 \
                           probeInterval 5.0 accept {}]
    # Peers by key "address:port": dictionaries, see addPeer.
    variable peers
    array set peers {}
    # Carried groups by key (see groupKey): {flow reasons}.
    variable groups
    array set groups {}
    # Open groupsocks by "source@group:port": {channel users}.
    variable groupsocks
    array set groupsocks {}
    # The addresses of dynamic tunnels at the last look.
    variable dynamicTunnels {}
    variable startedAt [clock seconds]
    variable stopping 0

    # Whether a peer that has been silent for this many probe intervals is down.
    variable silentIntervalsForDown 3
    # Re-creation back-off: first delay, and its ceiling (ms).
    variable firstBackoff 1000
    variable maxBackoff 60000
}

proc ::veldra::log {message} {
    tamsel_log $message
}

proc ::veldra::setting {name} {
    variable settings
    dict get $settings $name
}

# --- Forms of peers, groups and networks -----------------------------------
#
# Each parser returns the value checked and normalised, or fails with a
# reason that reads well after "option \"--group\": ".

# ::veldra::parsePeer --
#
#   HOST[:PORT] as {host port}; the port is the default tunnel port when
#   none is given. The host is resolved only when the tunnel is opened.

proc ::veldra::parsePeer {text} {
    if {![regexp {^([A-Za-z0-9][A-Za-z0-9._-]*)(:(.*))?$} $text -> host colon port]} {
        error "expected HOST or HOST:PORT, got \"$text\""
    }
    if {$colon eq ""} {
        set port 10100
    } else {
        set port [tamsel_checkPort $port]
    }
    list $host $port
}

# ::veldra::parseGroup --
#
#   [SOURCE@]GROUP:PORT[/rtp] as a dictionary {group source port rtp}, the
#   addresses dotted (host names are resolved), source empty for any
#   source. A group is a multicast address outside the local network
#   control block 224.0.0.0/24; /rtp also carries PORT + 1.

proc ::veldra::parseGroup {text} {
    if {![regexp {^(([^@]+)@)?([^@:/]+):([^:/]+)(/rtp)?$} $text -> - source group port rtp]} {
        error "expected \[SOURCE@\]GROUP:PORT\[/rtp\], got \"$text\""
    }
    set group [tamsel_resolve $group]
    set number [tamsel_addressToInteger $group]
    if {$number < 0xE0000100 || $number > 0xEFFFFFFF} {
        error "$group is not a multicast group address (224.0.1.0 to 239.255.255.255)"
    }
    if {$source ne ""} {
        set source [tamsel_resolve $source]
        set number [tamsel_addressToInteger $source]
        if {$number == 0 || $number >= 0xE0000000} {
            error "$source is not a source address"
        }
    }
    set port [tamsel_checkPort $port]
    set rtp [expr {$rtp ne ""}]
    if {$rtp && $port == 65535} {
        error "an RTP group needs two ports, PORT and PORT + 1; 65535 is the last port"
    }
    dict create group $group source $source port $port rtp $rtp
}

# ::veldra::groupKey --
#
#   The written form of a group, as parseGroup reads it: its key everywhere.

proc ::veldra::groupKey {flow} {
    set key [dict get $flow group]:[dict get $flow port]
    if {[dict get $flow source] ne ""} {
        set key [dict get $flow source]@$key
    }
    if {[dict get $flow rtp]} {
        append key /rtp
    }
    return $key
}

# ::veldra::groupPorts --
#
#   The ports a group occupies: PORT, and PORT + 1 for an RTP group.

proc ::veldra::groupPorts {flow} {
    set port [dict get $flow port]
    if {[dict get $flow rtp]} {
        return [list $port [expr {$port + 1}]]
    }
    return [list $port]
}

# ::veldra::parseNetwork --
#
#   ADDRESS/PREFIX as the network's written form with the host bits
#   cleared (10.1.2.3/16 is 10.1.0.0/16); a bare address is one host (/32).

proc ::veldra::parseNetwork {text} {
    if {![regexp {^([^/]+)(/([0-9]{1,2}))?$} $text -> address - prefix]
        || ![tamsel_isDotted $address] || ($prefix ne "" && $prefix > 32)} {
        error "expected ADDRESS/PREFIX-LENGTH (as 10.1.0.0/16), got \"$text\""
    }
    if {$prefix eq ""} {
        set prefix 32
    }
    set mask [expr {$prefix == 0 ? 0 : (0xFFFFFFFF << (32 - $prefix)) & 0xFFFFFFFF}]
    set network [expr {[tamsel_addressToInteger $address] & $mask}]
    return [tamsel_integerToAddress $network]/$prefix
}

# --- Groupsocks ---------------------------------------------------------------

# ::veldra::openGroupsock --
#
#   The channel of the groupsock for source (empty: any), group and port,
#   created at the first use, and counted as used once more. A new one is
#   read in the background (and so relays what it reads to its member
#   tunnels), unless reader is given: then reader is called with the
#   channel whenever a datagram waits, and must read it with groupsock_read.

proc ::veldra::openGroupsock {group source port {reader {}}} {
    variable groupsocks
    set key $source@$group:$port
    if {[info exists groupsocks($key)]} {
        dict incr groupsocks($key) users
        return [dict get $groupsocks($key) channel]
    }
    if {$source eq ""} {
        set channel [groupsock_create $group $port [setting ttl]]
    } else {
        set channel [groupsock_createSSM $group $source $port]
    }
    if {$reader eq ""} {
        groupsock_turnOnBackgroundReadHandling $channel
    } else {
        fileevent $channel readable [list {*}$reader $channel]
    }
    set groupsocks($key) [dict create channel $channel users 1]
    return $channel
}

# ::veldra::closeGroupsock --
#
#   One use of the groupsock less; the last one deletes it.

proc ::veldra::closeGroupsock {group source port} {
    variable groupsocks
    set key $source@$group:$port
    if {![info exists groupsocks($key)]} {
        return
    }
    dict incr groupsocks($key) users -1
    if {[dict get $groupsocks($key) users] > 0} {
        return
    }
    groupsock_delete [dict get $groupsocks($key) channel]
    unset groupsocks($key)
}

# --- Groups -------------------------------------------------------------------

# ::veldra::addGroup --
#
#   Carries the group for a reason ("configuration", "session ...",
#   "receivers"): its groupsocks are opened and read, and every tunnel
#   joins it, so that this site sends what its LAN has of the group to
#   every peer and each peer sends what its LAN has here. A group carried
#   already only gains the reason. Fails with the reason when a groupsock
#   cannot be opened.

proc ::veldra::addGroup {flow reason} {
    variable groups
    set key [groupKey $flow]
    if {[info exists groups($key)]} {
        dict set groups($key) reasons $reason 1
        return
    }
    set opened {}
    try {
        foreach port [groupPorts $flow] {
            openGroupsock [dict get $flow group] [dict get $flow source] $port
            lappend opened $port
        }
    } on error {message} {
        foreach port $opened {
            closeGroupsock [dict get $flow group] [dict get $flow source] $port
        }
        error "cannot open group $key: $message"
    }
    set groups($key) [dict create flow $flow reasons [dict create $reason 1]]
    foreach tunnel [tunnels] {
        if {[catch {joinThrough $tunnel $flow} message]} {
            log "cannot join $key through $tunnel: $message"
        }
    }
}

# ::veldra::removeGroup --
#
#   Drops one reason for carrying the group; with the last one, every tunnel
#   leaves it (the peers stop sending it at once) and its groupsocks close.

proc ::veldra::removeGroup {key reason} {
    variable groups
    if {![info exists groups($key)]} {
        return
    }
    dict unset groups($key) reasons $reason
    if {[dict size [dict get $groups($key) reasons]] > 0} {
        return
    }
    set flow [dict get $groups($key) flow]
    unset groups($key)
    foreach tunnel [tunnels] {
        catch {leaveThrough $tunnel $flow}
    }
    foreach port [groupPorts $flow] {
        closeGroupsock [dict get $flow group] [dict get $flow source] $port
    }
}

# ::veldra::carriedGroups --
#
#   The carried groups as a dictionary: key -> list of reasons.

proc ::veldra::carriedGroups {} {
    variable groups
    set result [dict create]
    foreach key [lsort [array names groups]] {
        dict set result $key [dict keys [dict get $groups($key) reasons]]
    }
    return $result
}

# ::veldra::joinThrough, ::veldra::leaveThrough --
#
#   Join or leave a group through one tunnel, in the form the group needs
#   (plain, RTP pair, source-specific).

proc ::veldra::joinThrough {tunnel flow} {
    set command [expr {[dict get $flow rtp] ? "corvex_joinRTPGroup" : "corvex_joinGroup"}]
    set source [dict get $flow source]
    if {$source eq ""} {
        $command $tunnel [dict get $flow group] [dict get $flow port] [setting ttl]
    } else {
        ${command}SSM $tunnel [dict get $flow group] $source [dict get $flow port] [setting ttl]
    }
}

proc ::veldra::leaveThrough {tunnel flow} {
    set command [expr {[dict get $flow rtp] ? "corvex_leaveRTPGroup" : "corvex_leaveGroup"}]
    set source [dict get $flow source]
    if {$source eq ""} {
        $command $tunnel [dict get $flow group] [dict get $flow port]
    } else {
        ${command}SSM $tunnel [dict get $flow group] $source [dict get $flow port]
    }
}

# --- Peers --------------------------------------------------------------------

# ::veldra::addPeer --
#
#   Configures a peer gateway, host name or address and tunnel port; the
#   name is resolved now. Returns the peer's key, "address:port" (a peer
#   given twice is configured once). Fails with "cannot resolve ...".

proc ::veldra::addPeer {host port} {
    variable peers
    set address [tamsel_resolve $host]
    set key $address:$port
    if {![info exists peers($key)]} {
        set peers($key) [dict create name $host address $address port $port tunnel "" \
                             state starting since [clock seconds] activity 0 silent 0 \
                             backoff [set [namespace current]::firstBackoff] created 0 retry ""]
    }
    return $key
}

# ::veldra::peerLabel --
#
#   How the logs name a peer: "name (address:port)", or "address:port" when
#   it was given by address.

proc ::veldra::peerLabel {key} {
    variable peers
    set name [dict get $peers($key) name]
    if {$name eq [dict get $peers($key) address]} {
        return $key
    }
    return "$name ($key)"
}

# ::veldra::peerList --
#
#   Every configured peer as a dictionary {key name state since}, and every
#   dynamic tunnel as {key address state accepted}.

proc ::veldra::peerList {} {
    variable peers
    variable dynamicTunnels
    set list {}
    foreach key [lsort [array names peers]] {
        set peer $peers($key)
        lappend list [dict create key $key name [dict get $peer name] \
                          address [dict get $peer address] state [dict get $peer state] \
                          since [dict get $peer since] dynamic 0]
    }
    foreach address $dynamicTunnels {
        lappend list [dict create key $address name $address address $address \
                          state accepted since {} dynamic 1]
    }
    return $list
}

# ::veldra::tunnels --
#
#   The names of the tunnels of the configured peers that have one now.

proc ::veldra::tunnels {} {
    variable peers
    set names {}
    foreach key [lsort [array names peers]] {
        set tunnel [dict get $peers($key) tunnel]
        if {$tunnel ne ""} {
            lappend names $tunnel
        }
    }
    return $names
}

# ::veldra::openTunnel --
#
#   Opens the tunnel to the peer, with the switches of the settings, joins
#   every carried group through it and sends a first probe. A tunnel to the
#   peer's address and port that exists already (one the peer opened, when
#   its network is accepted) is taken over. Fails with the engine's reason.

proc ::veldra::openTunnel {key} {
    variable peers
    variable groups
    set peer $peers($key)
    set address [dict get $peer address]
    set port [dict get $peer port]
    set create [expr {[setting masterOnly] ? "corvex_createMasterOnlyUDPtunnel"
                      : "corvex_createUDPtunnel"}]
    if {[catch {$create $address $port [setting tunnelPort]} tunnel]} {
        if {![string match "tunnel already exists*" $tunnel]} {
            error $tunnel
        }
        set tunnel UDPtunnel:$address:$port
    }
    if {[setting locallyOnly]} {
        corvex_tunnelLocallyOnly $tunnel
    }
    dict set peer tunnel $tunnel
    dict set peer activity [corvex_incomingActivityCount $tunnel]
    dict set peer silent 0
    dict set peer created [clock milliseconds]
    set peers($key) $peer
    foreach groupKey [lsort [array names groups]] {
        if {[catch {joinThrough $tunnel [dict get $groups($groupKey) flow]} message]} {
            log "cannot join $groupKey through the tunnel to [peerLabel $key]: $message"
        }
    }
    corvex_sendProbe $tunnel
    return $tunnel
}

# ::veldra::setPeerState --
#
#   Records a new state of the peer and logs it once, with a reason.

proc ::veldra::setPeerState {key state {reason ""}} {
    variable peers
    if {[dict get $peers($key) state] eq $state} {
        return
    }
    dict set peers($key) state $state
    dict set peers($key) since [clock seconds]
    set line "peer [peerLabel $key] is $state"
    if {$reason ne ""} {
        append line ": $reason"
    }
    log $line
}

# ::veldra::checkPeer --
#
#   The liveness check of one peer, once per probe interval: anything the
#   peer sent since the last check (the answer to the last probe included)
#   makes it up; three silent intervals in a row make it down. Then the
#   next probe goes. A tunnel that has vanished is treated as torn down.

proc ::veldra::checkPeer {key} {
    variable peers
    variable silentIntervalsForDown
    set tunnel [dict get $peers($key) tunnel]
    if {$tunnel eq ""} {
        return
    }
    if {[catch {corvex_incomingActivityCount $tunnel} count]} {
        tunnelLost $key "is gone"
        return
    }
    if {$count != [dict get $peers($key) activity]} {
        dict set peers($key) activity $count
        dict set peers($key) silent 0
        setPeerState $key up
    } else {
        dict incr peers($key) silent
        if {[dict get $peers($key) silent] >= $silentIntervalsForDown} {
            set seconds [expr {round($silentIntervalsForDown * [setting probeInterval])}]
            setPeerState $key down "nothing received for $seconds s"
        }
    }
    catch {corvex_sendProbe $tunnel}
}

# ::veldra::tick --
#
#   Once per probe interval: the liveness of every peer, the comings and
#   goings of dynamic tunnels, and the lapse of announced sessions.

proc ::veldra::tick {} {
    variable peers
    variable stopping
    if {$stopping} {
        return
    }
    after [expr {round([setting probeInterval] * 1000)}] ::veldra::tick
    foreach key [lsort [array names peers]] {
        checkPeer $key
    }
    watchDynamicTunnels
    sap::expire [clock seconds]
}

# ::veldra::watchDynamicTunnels --
#
#   Logs the tunnels that accepted gateways opened since the last look, and
#   those gone since.

proc ::veldra::watchDynamicTunnels {} {
    variable peers
    variable dynamicTunnels
    set configured {}
    foreach key [array names peers] {
        lappend configured [dict get $peers($key) address]
    }
    set now {}
    foreach address [lsort -unique [corvex_listUDPtunnelEndpoints]] {
        if {$address ni $configured} {
            lappend now $address
        }
    }
    foreach address $now {
        if {$address ni $dynamicTunnels} {
            log "gateway $address opened a tunnel (accepted network)"
        }
    }
    foreach address $dynamicTunnels {
        if {$address ni $now} {
            log "the tunnel from gateway $address is gone"
        }
    }
    set dynamicTunnels $now
}

# ::veldra::onBackgroundError --
#
#   Takes the engine's tear-down reports, "tunnelTearDown " followed by the
#   peer's address and a reason word, and lets every other background error
#   be logged as such.

proc ::veldra::onBackgroundError {message} {
    if {![regexp {^tunnelTearDown ([0-9.]+)([A-Za-z]+)$} $message -> address why]} {
        return 0
    }
    switch -- $why {
        fromRemote {set reason "was torn down by the peer"}
        mcastFromEndpoint {
            set reason "was torn down: multicast sent from the peer's own address reached this\
                        LAN (check that its route to 224.0.0.0/4 points at its own LAN)"
        }
        default {set reason "was torn down ($why)"}
    }
    tunnelTornDown $address $reason
    return 1
}

# ::veldra::tunnelTornDown --
#
#   The engine tore down a tunnel to address: the configured peers there
#   whose tunnel is gone get it back with back-off; a dynamic tunnel is
#   simply allowed to go.

proc ::veldra::tunnelTornDown {address reason} {
    variable peers
    variable dynamicTunnels
    set configured 0
    foreach key [lsort [array names peers]] {
        if {[dict get $peers($key) address] ne $address} {
            continue
        }
        set configured 1
        set tunnel [dict get $peers($key) tunnel]
        if {$tunnel ne "" && [catch {corvex_incomingActivityCount $tunnel}]} {
            tunnelLost $key $reason
        }
    }
    if {!$configured} {
        log "the tunnel from gateway $address $reason; it is not re-created"
        set dynamicTunnels [lsearch -all -inline -not -exact $dynamicTunnels $address]
    }
}

# ::veldra::tunnelLost --
#
#   The peer's tunnel is gone: it is re-created after the back-off delay,
#   which doubles (up to 60 s) while tunnels keep going within a minute of
#   being made, and starts again at 1 s after one lasted longer.

proc ::veldra::tunnelLost {key reason} {
    variable peers
    variable stopping
    variable firstBackoff
    if {$stopping} {
        return
    }
    set peer $peers($key)
    if {[clock milliseconds] - [dict get $peer created] > 60000} {
        dict set peer backoff $firstBackoff
    }
    dict set peer tunnel ""
    set peers($key) $peer
    setPeerState $key down "its tunnel $reason"
    log "the tunnel to [peerLabel $key] $reason; re-creating it in\
         [formatDelay [dict get $peer backoff]]"
    scheduleRecreation $key
}

proc ::veldra::scheduleRecreation {key} {
    variable peers
    variable maxBackoff
    set delay [dict get $peers($key) backoff]
    dict set peers($key) backoff [expr {min(2 * $delay, $maxBackoff)}]
    after cancel [dict get $peers($key) retry]
    dict set peers($key) retry [after $delay [list ::veldra::recreateTunnel $key]]
}

proc ::veldra::formatDelay {milliseconds} {
    return "[expr {$milliseconds / 1000.0}] s"
}

proc ::veldra::recreateTunnel {key} {
    variable peers
    variable stopping
    if {$stopping || [dict get $peers($key) tunnel] ne ""} {
        return
    }
    if {[catch {openTunnel $key} message]} {
        log "cannot re-create the tunnel to [peerLabel $key]: $message; next attempt in\
             [formatDelay [dict get $peers($key) backoff]]"
        scheduleRecreation $key
        return
    }
    log "the tunnel to [peerLabel $key] is re-created"
}

# --- Start and shutdown -------------------------------------------------------

# ::veldra::startPeers --
#
#   Opens the tunnel to every configured peer; fails at the first that
#   cannot be opened, naming it.

proc ::veldra::startPeers {} {
    variable peers
    foreach key [lsort [array names peers]] {
        if {[catch {openTunnel $key} message]} {
            error "cannot open a tunnel to [peerLabel $key]: $message"
        }
    }
}

# ::veldra::startLiveness --
#
#   Takes the engine's tear-down reports and starts the probe clock.

proc ::veldra::startLiveness {} {
    tamsel_onBackgroundError ::veldra::onBackgroundError
    after [expr {round([setting probeInterval] * 1000)}] ::veldra::tick
}

# ::veldra::shutdown --
#
#   Ends the gateway cleanly on a signal: every tunnel leaves every group,
#   so that the peers stop sending at once instead of after their 60-second
#   lapse; the process exits with status 0 a second later, once the LEAVE
#   has gone out a second time. A second signal meanwhile exits at once.

proc ::veldra::shutdown {signal} {
    variable stopping
    variable groups
    if {$stopping} {
        exit 0
    }
    set stopping 1
    set tunnels [tunnels]
    foreach tunnel $tunnels {
        foreach key [array names groups] {
            catch {leaveThrough $tunnel [dict get $groups($key) flow]}
        }
    }
    log "stopping on $signal: [llength $tunnels] peer(s) told to stop sending\
         [array size groups] group(s)"
    after 1100 {exit 0}
}

# --- Session discovery: announcements ---------------------------------------------

namespace eval ::veldra::sap {
    # Where announcements are sent (the global scope's address).
    variable group 224.2.127.254
    variable port 9875
    # Announced sessions by key "source/hash": {name origin flows last interval}.
    variable sessions
    array set sessions {}
    # At most this many groups are carried for announced sessions.
    variable maxGroups 256
    # What has been logged about ignored or malformed announcements, so that
    # each is told once (a bounded record).
    variable told
    array set told {}
}

# ::veldra::sap::parse --
#
#   Takes apart one announcement datagram (bytes). Returns a dictionary
#   with "kind": "announce" or "delete" with "key" (originating source and
#   message identifier hash, "10.1.2.3/4660"), "source" and "description"
#   (the session description text); "ignore" or "malformed" with "reason".
#   Encrypted and compressed announcements are ignored, and so are payloads
#   of another type than application/sdp.

proc ::veldra::sap::parse {data} {
    set length [string length $data]
    if {$length < 8} {
        return [dict create kind malformed reason "$length bytes, shorter than a header"]
    }
    binary scan $data cucuSu flags authLength hash
    set version [expr {$flags >> 5}]
    if {$version != 1} {
        return [dict create kind malformed reason "version $version"]
    }
    set ipv6 [expr {($flags >> 4) & 1}]
    set deletion [expr {($flags >> 2) & 1}]
    set encrypted [expr {($flags >> 1) & 1}]
    set compressed [expr {$flags & 1}]
    set addressLength [expr {$ipv6 ? 16 : 4}]
    set offset [expr {4 + $addressLength + 4 * $authLength}]
    if {$length < $offset} {
        return [dict create kind malformed reason "a $offset-byte header in $length bytes"]
    }
    if {$ipv6} {
        binary scan $data @4H32 source
    } else {
        binary scan $data @4cu4 bytes
        set source [join $bytes .]
    }
    set result [dict create key $source/$hash source $source]
    if {$encrypted} {
        return [dict merge $result {kind ignore reason encrypted}]
    }
    if {$compressed} {
        return [dict merge $result {kind ignore reason compressed}]
    }
    set payload [string range $data $offset end]
    # The payload type, a zero-terminated MIME type, is left out when the
    # description follows at once. A deletion may carry no payload at all.
    if {$payload ne "" && ![string match "v=0*" $payload]} {
        set zero [string first \0 $payload]
        if {$zero < 0} {
            return [dict merge $result \
                        {kind malformed reason "a payload type without its zero byte"}]
        }
        set type [string range $payload 0 [expr {$zero - 1}]]
        if {[string tolower $type] ne "application/sdp"} {
            return [dict merge $result [list kind ignore reason "payload type \"$type\""]]
        }
        set payload [string range $payload [expr {$zero + 1}] end]
    }
    set description [encoding convertfrom utf-8 [string trimright $payload \0]]
    if {$deletion} {
        return [dict merge $result [list kind delete description $description]]
    }
    if {![string match "v=0*" $description]} {
        return [dict merge $result {kind malformed reason "no session description"}]
    }
    return [dict merge $result [list kind announce description $description]]
}

# ::veldra::sap::timeout --
#
#   How long an announced session lives without being announced again, in
#   seconds: ten of its announcement intervals, or an hour if that is
#   longer (or if the interval is not known yet).

proc ::veldra::sap::timeout {interval} {
    expr {max(10 * $interval, 3600)}
}

# ::veldra::sap::heard --
#
#   Enters one announcement or deletion (a dictionary from parse) heard at
#   now (seconds) in the session table. Returns the changes, a list of
#   {add|drop key name flows why}. A deletion is matched by its key or by
#   the origin line of its description. Fails when an announcement's
#   description cannot be read.

proc ::veldra::sap::heard {packet now} {
    variable sessions
    set key [dict get $packet key]
    if {[dict get $packet kind] eq "delete"} {
        if {![info exists sessions($key)]} {
            set key [findByOrigin [::veldra::sdp::originLine [dict get $packet description]]]
        }
        if {$key eq ""} {
            return {}
        }
        return [forget $key deleted]
    }
    set description [::veldra::sdp::parse [dict get $packet description]]
    set flows [dict get $description flows]
    if {![info exists sessions($key)]} {
        set sessions($key) [dict create name [dict get $description name] \
                                origin [dict get $description origin] flows $flows \
                                last $now interval 0]
        return [list [list add $key [dict get $description name] $flows announced]]
    }
    set session $sessions($key)
    if {$now > [dict get $session last]} {
        dict set session interval [expr {$now - [dict get $session last]}]
    }
    dict set session last $now
    set changes {}
    if {$flows ne [dict get $session flows]} {
        lappend changes [list drop $key [dict get $session name] [dict get $session flows] changed]
        lappend changes [list add $key [dict get $description name] $flows changed]
        dict set session flows $flows
        dict set session name [dict get $description name]
    }
    set sessions($key) $session
    return $changes
}

proc ::veldra::sap::findByOrigin {origin} {
    variable sessions
    if {$origin eq ""} {
        return ""
    }
    foreach key [array names sessions] {
        if {[dict get $sessions($key) origin] eq $origin} {
            return $key
        }
    }
    return ""
}

proc ::veldra::sap::forget {key why} {
    variable sessions
    set session $sessions($key)
    unset sessions($key)
    list [list drop $key [dict get $session name] [dict get $session flows] $why]
}

# ::veldra::sap::lapse --
#
#   The changes for the sessions that have not been announced for longer
#   than their timeout at now (seconds); they are forgotten.

proc ::veldra::sap::lapse {now} {
    variable sessions
    set changes {}
    foreach key [lsort [array names sessions]] {
        set session $sessions($key)
        if {$now - [dict get $session last] > [timeout [dict get $session interval]]} {
            lappend changes {*}[forget $key lapsed]
        }
    }
    return $changes
}

# ::veldra::sap::applyChanges --
#
#   Carries the groups of sessions added and drops those of sessions gone,
#   with a log line for each session.

proc ::veldra::sap::applyChanges {changes} {
    variable maxGroups
    foreach change $changes {
        lassign $change action key name flows why
        set reason "session $key"
        set keys [lmap flow $flows {::veldra::groupKey $flow}]
        set label "session \"$name\" ($key)"
        if {$action eq "drop"} {
            foreach flow $flows {
                ::veldra::removeGroup [::veldra::groupKey $flow] $reason
            }
            if {$why ne "changed"} {
                ::veldra::log "session discovery: $label $why; dropped [describe $keys]"
            }
            continue
        }
        set carried {}
        foreach flow $flows {
            set groupKey [::veldra::groupKey $flow]
            if {[sessionGroupCount] >= $maxGroups} {
                ::veldra::log "session discovery: $label: not carrying $groupKey, already\
                               $maxGroups groups from sessions"
            } elseif {[::veldra::setting tunnelPort] in [::veldra::groupPorts $flow]} {
                ::veldra::log "session discovery: $label: not carrying $groupKey, on the\
                               tunnel port"
            } elseif {[catch {::veldra::addGroup $flow $reason} message]} {
                ::veldra::log "session discovery: $label: $message"
            } else {
                lappend carried $groupKey
            }
        }
        ::veldra::log "session discovery: $label $why; carrying [describe $carried]"
    }
}

proc ::veldra::sap::describe {keys} {
    if {[llength $keys] == 0} {
        return "no group"
    }
    join $keys ", "
}

# ::veldra::sap::sessionGroupCount --
#
#   The number of groups carried for announced sessions.

proc ::veldra::sap::sessionGroupCount {} {
    set count 0
    dict for {key reasons} [::veldra::carriedGroups] {
        if {[lsearch -glob $reasons "session *"] >= 0} {
            incr count
        }
    }
    return $count
}

# ::veldra::sap::tell --
#
#   Logs what was wrong with an announcement once per subject, so that a
#   stream of bad announcements cannot fill the log.

proc ::veldra::sap::tell {subject message} {
    variable told
    if {[info exists told($subject)] || [array size told] >= 1024} {
        return
    }
    set told($subject) 1
    ::veldra::log "session discovery: $message"
}

# ::veldra::sap::handleDatagram --
#
#   One datagram from the announcement group, heard at now (seconds).

proc ::veldra::sap::handleDatagram {data now} {
    set packet [parse $data]
    switch -- [dict get $packet kind] {
        ignore {
            tell ignore/[dict get $packet key] "ignoring the [dict get $packet reason]\
                announcement [dict get $packet key]"
            return
        }
        malformed {
            tell malformed/[dict get $packet reason] "dropping a malformed announcement\
                ([dict get $packet reason])"
            return
        }
    }
    if {[catch {heard $packet $now} changes]} {
        tell malformed/[dict get $packet key] "dropping the announcement\
            [dict get $packet key]: $changes"
        return
    }
    applyChanges $changes
}

# ::veldra::sap::readable --
#
#   The announcement groupsock has a datagram waiting. Reading it through
#   groupsock_read also relays it to the groupsock's member tunnels, which
#   carries the announcements themselves to the peers.

proc ::veldra::sap::readable {channel} {
    if {[catch {groupsock_read $channel 51200 bytes} message]} {
        tell read/$message "cannot read announcements: $message"
        # Try again in a second rather than spin on a failing socket.
        fileevent $channel readable {}
        after 1000 [list catch [list fileevent $channel readable \
                                    [list ::veldra::sap::readable $channel]]]
        return
    }
    handleDatagram [binary format H* [string map {0x "" " " ""} $bytes]] [clock seconds]
}

# ::veldra::sap::expire --
#
#   Drops the sessions whose announcements have lapsed.

proc ::veldra::sap::expire {now} {
    applyChanges [lapse $now]
}

# ::veldra::sap::start --
#
#   Listens to the announcements on the LAN and carries the announcement
#   group itself to every peer.

proc ::veldra::sap::start {} {
    variable group
    variable port
    ::veldra::openGroupsock $group "" $port ::veldra::sap::readable
    ::veldra::addGroup [dict create group $group source "" port $port rtp 0] "session discovery"
}

# --- Session discovery: descriptions ----------------------------------------------

namespace eval ::veldra::sdp {
    # At most this many addresses, ports and groups are taken from one
    # description.
    variable maxCount 16
}

# ::veldra::sdp::originLine --
#
#   The description's origin ("o=") line, or empty.

proc ::veldra::sdp::originLine {text} {
    foreach line [split $text \n] {
        if {[string match "o=*" $line]} {
            return [string trimright $line \r]
        }
    }
    return ""
}

# ::veldra::sdp::parse --
#
#   The groups a session description announces: a dictionary {name origin
#   flows}, flows being group dictionaries as ::veldra::parseGroup makes
#   them. Every media line with a port and an IPv4 multicast connection
#   address (its own, or the session's) gives a group per address and port;
#   RTP media carry their port pair; a source filter ("a=source-filter:
#   incl") makes the group source-specific. Lines end in CR LF or LF. Fails
#   when the text is no session description.

proc ::veldra::sdp::parse {text} {
    variable maxCount
    set lines [lmap line [split $text \n] {string trimright $line \r}]
    if {[lindex $lines 0] ne "v=0"} {
        error "no \"v=0\" line first"
    }
    set name ""
    set origin ""
    set session [dict create connections {} filters {}]
    set media {}
    set current session
    foreach line $lines {
        if {![regexp {^([a-z])=(.*)$} $line -> type value]} {
            continue
        }
        switch -- $type {
            s {set name $value}
            o {set origin $line}
            m {
                if {![regexp {^\S+ ([0-9]+)(/([0-9]+))? (\S+)} $value -> port - count proto]} {
                    error "bad media line \"$line\""
                }
                if {$count eq ""} {
                    set count 1
                }
                lappend media [dict create port $port count $count proto $proto \
                                   connections {} filters {}]
                set current media
            }
            c {
                set addresses [connectionAddresses $value]
                if {$current eq "session"} {
                    dict lappend session connections {*}$addresses
                } else {
                    set last [lindex $media end]
                    dict lappend last connections {*}$addresses
                    lset media end $last
                }
            }
            a {
                if {![regexp {^source-filter: *incl IN IP4 (\S+) (.+)$} $value -> destination sources]} {
                    continue
                }
                set filter [list $destination [lrange $sources 0 [expr {$maxCount - 1}]]]
                if {$current eq "session"} {
                    dict lappend session filters $filter
                } else {
                    set last [lindex $media end]
                    dict lappend last filters $filter
                    lset media end $last
                }
            }
        }
    }
    set flows {}
    foreach medium $media {
        set port [dict get $medium port]
        if {$port == 0 || $port > 65535} {
            continue
        }
        set connections [dict get $medium connections]
        if {[llength $connections] == 0} {
            set connections [dict get $session connections]
        }
        set filters [dict get $medium filters]
        if {[llength $filters] == 0} {
            set filters [dict get $session filters]
        }
        set rtp [string match RTP/* [dict get $medium proto]]
        foreach address $connections {
            foreach p [mediaPorts $port [dict get $medium count] $rtp] {
                foreach source [filterSources $filters $address] {
                    if {[llength $flows] >= $maxCount} {
                        break
                    }
                    set flow [dict create group $address source $source port $p rtp $rtp]
                    if {[catch {::veldra::parseGroup [::veldra::groupKey $flow]} checked]} {
                        continue
                    }
                    if {$checked ni $flows} {
                        lappend flows $checked
                    }
                }
            }
        }
    }
    dict create name $name origin $origin flows $flows
}

# ::veldra::sdp::connectionAddresses --
#
#   The IPv4 multicast addresses of a connection line's value, "IN IP4
#   ADDRESS[/TTL[/COUNT]]": COUNT addresses from ADDRESS on. Any other
#   network or address type gives none.

proc ::veldra::sdp::connectionAddresses {value} {
    variable maxCount
    if {![regexp {^IN IP4 ([0-9.]+)(/[0-9]+)?(/([0-9]+))?\s*$} $value -> address - - count]
        || ![tamsel_isDotted $address]} {
        return {}
    }
    set first [tamsel_addressToInteger $address]
    if {$first < 0xE0000000 || $first > 0xEFFFFFFF} {
        return {}
    }
    if {$count eq ""} {
        set count 1
    }
    set addresses {}
    for {set i 0} {$i < min($count, $maxCount) && $first + $i <= 0xEFFFFFFF} {incr i} {
        lappend addresses [tamsel_integerToAddress [expr {$first + $i}]]
    }
    return $addresses
}

# ::veldra::sdp::mediaPorts --
#
#   The first port of each of count streams: consecutive, or every other
#   one for RTP, whose odd companions carry RTCP.

proc ::veldra::sdp::mediaPorts {port count rtp} {
    variable maxCount
    set step [expr {$rtp ? 2 : 1}]
    set ports {}
    for {set i 0} {$i < min($count, $maxCount)} {incr i} {
        lappend ports [expr {$port + $i * $step}]
    }
    return $ports
}

# ::veldra::sdp::filterSources --
#
#   The sources the filters allow for a group address ("*" filters every
#   address), or a single empty source (any source) when none applies.

proc ::veldra::sdp::filterSources {filters address} {
    set sources {}
    foreach filter $filters {
        lassign $filter destination allowed
        if {$destination eq $address || $destination eq "*"} {
            lappend sources {*}$allowed
        }
    }
    if {[llength $sources] == 0} {
        return [list ""]
    }
    return [lsort -unique $sources]
}
