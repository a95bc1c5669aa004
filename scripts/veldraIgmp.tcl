# veldraIgmp.tcl --
#
# Groups on demand (::veldra::igmp, --igmp): the gateway carries exactly
# the groups that receivers on its LAN ask for in their IGMP membership
# reports. This script owns:
#   - the forms of --igmp-groups and --igmp-ports (parseNetwork, parsePort);
#   - the membership state, kept as a router keeps it (IGMP versions 1 to
#     3), simplified as a proxy does: per group its filter mode, group
#     timer, source timers and the receivers heard. "heard" takes one event
#     of the engine's listener, "expire" the passing of time; both only
#     change this state and return actions, so that they can be driven
#     without sockets, and "perform" carries the actions out;
#   - the querier: general queries at start (robustness many, a quarter of
#     the query interval apart) and every query interval, last-member
#     queries after a leave, and the election: the lowest address on the LAN
#     queries, the others only listen until it has been silent for the
#     other-querier-present interval;
#   - carrying: every group with receivers is carried on each --igmp-ports
#     port, from any source (version 1 and 2 reports, version 3 EXCLUDE) or
#     from each source asked for (version 3 INCLUDE), by ::veldra::addGroup
#     and removeGroup with the reason "receivers"; a --group or an announced
#     session that names the same group keeps it carried after the
#     receivers have gone.
# Times are in milliseconds.
#
# A group's state is a dictionary:
#   mode       exclude (any source: the group timer runs) or include (only
#              the sources, each with its own timer)
#   timer      when the group timer ends (exclude mode)
#   sources    source -> when its timer ends
#   receivers  reporter -> when it was last heard
#   left       1 while the timers are lowered after a leave
#   query      the last-member queries still to send: {at left sources},
#              empty when none
#   since      when the group was learned

namespace eval ::veldra::igmp {
    # Set by the main script before start.
    variable config [dict create queryInterval 125 robustness 2 lastMemberInterval 1000 \
                         maxGroups 256 networks {224.0.0.0/4} \
                         ports {{port 1234 rtp 0} {port 5004 rtp 1}}]
    # At most this many sources of one group are carried, and this many
    # receivers of one group are recorded; more are ignored.
    variable maxSources 8
    variable maxReceivers 1024
    # The LAN interface and this gateway's address there (empty: not
    # listening).
    variable interface ""
    variable address ""
    # The other router that queries the LAN, and when it counts as gone;
    # empty while this gateway is the querier. What that querier's queries
    # announced (robustness, queryInterval, responseMs) replaces our own
    # settings meanwhile, so that our timers match its queries.
    variable querier ""
    variable querierUntil 0
    variable adopted {}
    # The next general query, and how many of the start-up queries are left.
    variable nextQuery 0
    variable startupLeft 0
    # Groups by address: dictionaries as described above.
    variable groups
    array set groups {}
    # The flow keys carried for each group.
    variable carried
    array set carried {}
    # What has been logged once (refusals, failures); a bounded record.
    variable told
    array set told {}
    # Reports refused (outside --igmp-groups, or beyond the bound).
    variable refused 0
    # The pending wake-up.
    variable timer ""
}

# --- Forms -------------------------------------------------------------------------

# ::veldra::igmp::parseNetwork --
#
#   A network of multicast groups, ADDRESS/PREFIX within 224.0.0.0/4, in
#   its written form with the host bits cleared.

proc ::veldra::igmp::parseNetwork {text} {
    set network [::veldra::parseNetwork $text]
    lassign [split $network /] address prefix
    if {$prefix < 4 || ([tamsel_addressToInteger $address] >> 28) != 0xE} {
        error "$network is not a network of multicast groups (within 224.0.0.0/4)"
    }
    return $network
}

# ::veldra::igmp::parsePort --
#
#   PORT[/rtp] as the dictionary {port rtp}.

proc ::veldra::igmp::parsePort {text} {
    if {![regexp {^([^/]+)(/rtp)?$} $text -> port rtp]} {
        error "expected PORT or PORT/rtp, got \"$text\""
    }
    set port [tamsel_checkPort $port]
    if {$rtp ne "" && $port == 65535} {
        error "an RTP port needs two ports, PORT and PORT + 1; 65535 is the last port"
    }
    dict create port $port rtp [expr {$rtp ne ""}]
}

# ::veldra::igmp::portText --
#
#   A port as parsePort reads it.

proc ::veldra::igmp::portText {port} {
    expr {[dict get $port rtp] ? "[dict get $port port]/rtp" : [dict get $port port]}
}

# --- Timers ------------------------------------------------------------------------

# ::veldra::igmp::setting --
#
#   A setting (robustness, queryInterval) as the querier of the LAN
#   announced it, or as configured.

proc ::veldra::igmp::setting {name} {
    variable config
    variable adopted
    if {[dict exists $adopted $name]} {
        return [dict get $adopted $name]
    }
    dict get $config $name
}

# ::veldra::igmp::responseMs --
#
#   The query response interval: the time receivers have to answer a
#   general query, 10 s, or half the query interval when that is shorter.

proc ::veldra::igmp::responseMs {} {
    variable adopted
    if {[dict exists $adopted responseMs]} {
        return [dict get $adopted responseMs]
    }
    expr {min(10000, [setting queryInterval] * 500)}
}

# ::veldra::igmp::membershipMs --
#
#   The group membership interval: how long a report keeps a group (or a
#   source) without another one.

proc ::veldra::igmp::membershipMs {} {
    expr {[setting robustness] * [setting queryInterval] * 1000 + [responseMs]}
}

# ::veldra::igmp::lastMemberMs --
#
#   The last member query time: how long a group (or source) lives after
#   a leave when nobody answers the last-member queries.

proc ::veldra::igmp::lastMemberMs {} {
    variable config
    expr {[setting robustness] * [dict get $config lastMemberInterval]}
}

# ::veldra::igmp::otherQuerierMs --
#
#   How long another querier counts as present after its last query.

proc ::veldra::igmp::otherQuerierMs {} {
    expr {[setting robustness] * [setting queryInterval] * 1000 + [responseMs] / 2}
}

# --- The state -------------------------------------------------------------------

# ::veldra::igmp::reset --
#
#   Forgets every group and starts as the querier at now, with the start-up
#   queries due at once.

proc ::veldra::igmp::reset {now} {
    variable groups
    variable carried
    variable told
    variable querier ""
    variable querierUntil 0
    variable adopted {}
    variable nextQuery $now
    variable startupLeft [setting robustness]
    variable refused 0
    array unset groups
    array unset carried
    array unset told
}

# ::veldra::igmp::allowed --
#
#   Whether receivers may make the gateway carry the group: a group address
#   outside the local network control block, in one of the --igmp-groups
#   networks.

proc ::veldra::igmp::allowed {group} {
    variable config
    if {![tamsel_isDotted $group]} {
        return 0
    }
    set number [tamsel_addressToInteger $group]
    if {$number < 0xE0000100 || $number > 0xEFFFFFFF} {
        return 0
    }
    foreach network [dict get $config networks] {
        lassign [split $network /] base prefix
        set mask [expr {$prefix == 0 ? 0 : (0xFFFFFFFF << (32 - $prefix)) & 0xFFFFFFFF}]
        if {($number & $mask) == [tamsel_addressToInteger $base]} {
            return 1
        }
    }
    return 0
}

# ::veldra::igmp::isSource --
#
#   Whether a record's source is one that can be carried: a unicast address.

proc ::veldra::igmp::isSource {source} {
    if {![tamsel_isDotted $source]} {
        return 0
    }
    set number [tamsel_addressToInteger $source]
    expr {$number != 0 && $number < 0xE0000000}
}

# ::veldra::igmp::isQuerier --
#
#   Whether this gateway queries the LAN now.

proc ::veldra::igmp::isQuerier {} {
    variable querier
    expr {$querier eq ""}
}

# ::veldra::igmp::heard --
#
#   One event of the listener (the words igmp_listen hands over) at now.
#   Returns the actions:
#     {sync GROUP WHY}          what is carried of the group may change
#     {query GROUP SOURCES SUPPRESS}  send a query (GROUP 0.0.0.0: general)
#     {refuse GROUP FROM WHY}   a report that is not followed
#     {log TEXT}                a line for the log

proc ::veldra::igmp::heard {kind from group sources info now} {
    variable groups
    variable refused
    if {$kind eq "query"} {
        return [heardQuery $from $group $sources $info $now]
    }
    set sources [lmap source $sources {
        if {![isSource $source]} continue
        set source
    }]
    if {![info exists groups($group)]} {
        # Nothing to learn from a leave of a group that is not known.
        if {$kind in {leave block} || ($kind in {is_in allow to_in} && [llength $sources] == 0)} {
            return {}
        }
        set why [refusal $group]
        if {$why ne ""} {
            incr refused
            return [list [list refuse $group $from $why]]
        }
        set groups($group) [dict create mode include timer 0 sources {} receivers {} left 0 \
                                query {} since $now]
    }
    set state $groups($group)
    set actions {}
    set until [expr {$now + [membershipMs]}]
    switch -- $kind {
        join - is_ex - to_ex {
            # Any source. The sources such a record excludes are carried
            # all the same: the receivers' own hosts filter them out.
            dict set state mode exclude
            dict set state timer $until
            dict set state left 0
            addReceiver state $from $now
        }
        is_in - allow {
            addSources state $sources $until
            if {[llength $sources] > 0} {
                if {[dict get $state mode] eq "include"} {
                    dict set state left 0
                }
                addReceiver state $from $now
            }
        }
        leave - to_in {
            set before [dict keys [dict get $state sources]]
            addSources state $sources $until
            if {[llength $sources] == 0} {
                dict unset state receivers $from
            } else {
                addReceiver state $from $now
            }
            # A version 2 leave counts only for the querier, which asks who
            # is left; the others wait for its queries.
            if {[isQuerier]} {
                if {[dict get $state mode] eq "exclude"} {
                    lappend actions {*}[lowerTimers $group state {} $now]
                } else {
                    set asked {}
                    foreach source $before {
                        if {$source ni $sources} {
                            lappend asked $source
                        }
                    }
                    if {[llength $asked] > 0} {
                        lappend actions {*}[lowerTimers $group state $asked $now]
                    }
                }
            }
        }
        block {
            # In exclude mode the blocked sources stay carried (see above).
            if {[isQuerier] && [dict get $state mode] eq "include"} {
                set asked {}
                foreach source $sources {
                    if {[dict exists $state sources $source]} {
                        lappend asked $source
                    }
                }
                if {[llength $asked] > 0} {
                    lappend actions {*}[lowerTimers $group state $asked $now]
                }
            }
        }
    }
    set groups($group) $state
    return [linsert $actions 0 [list sync $group "first receiver $from"]]
}

# ::veldra::igmp::addSources --
#
#   Sets the timers of the sources to until in the group's state (held in
#   the caller's variable stateVar); beyond maxSources sources of a group,
#   new ones are ignored.

proc ::veldra::igmp::addSources {stateVar sources until} {
    upvar 1 $stateVar state
    variable maxSources
    foreach source $sources {
        if {[dict exists $state sources $source]
            || [dict size [dict get $state sources]] < $maxSources} {
            dict set state sources $source $until
        }
    }
}

# ::veldra::igmp::addReceiver --
#
#   Records that the receiver was heard at now in the group's state (held
#   in the caller's variable stateVar), up to maxReceivers receivers.

proc ::veldra::igmp::addReceiver {stateVar receiver now} {
    upvar 1 $stateVar state
    variable maxReceivers
    if {[dict exists $state receivers $receiver]
        || [dict size [dict get $state receivers]] < $maxReceivers} {
        dict set state receivers $receiver $now
    }
}

# ::veldra::igmp::refusal --
#
#   Why a report for a group not carried yet is refused, or empty.

proc ::veldra::igmp::refusal {group} {
    variable groups
    variable config
    if {![allowed $group]} {
        return "outside --igmp-groups"
    }
    set max [dict get $config maxGroups]
    if {[array size groups] >= $max} {
        return "already $max groups learned (--igmp-max-groups)"
    }
    return ""
}

# ::veldra::igmp::lowerTimers --
#
#   The querier's answer to a leave: the group timer (sources empty) or the
#   timers of the sources are lowered to the last member query time, and the
#   first of the last-member queries goes at once; the others follow one
#   last member query interval apart (see expire). stateVar names the
#   variable that holds the group's state. Returns the actions.

proc ::veldra::igmp::lowerTimers {group stateVar sources now} {
    upvar 1 $stateVar state
    set until [expr {$now + [lastMemberMs]}]
    if {[llength $sources] == 0} {
        if {[dict get $state timer] > $until} {
            dict set state timer $until
        }
    } else {
        foreach source $sources {
            if {[dict get $state sources $source] > $until} {
                dict set state sources $source $until
            }
        }
    }
    dict set state left 1
    variable config
    set remaining [expr {[setting robustness] - 1}]
    if {$remaining > 0} {
        dict set state query [dict create at [expr {$now + [dict get $config lastMemberInterval]}] \
                                  left $remaining sources $sources]
    } else {
        dict set state query {}
    }
    list [list query $group $sources 0]
}

# ::veldra::igmp::heardQuery --
#
#   A query from another router: the election (a lower address takes over
#   the querying; the robustness and intervals its queries announce become
#   ours meanwhile), and
#   a group-specific query without the suppress flag lowers the timers it
#   names, as the querier's own leave handling would.

proc ::veldra::igmp::heardQuery {from group sources info now} {
    variable address
    variable querier
    variable querierUntil
    variable adopted
    variable groups
    set actions {}
    set ours [expr {$address eq "" ? 0xFFFFFFFF : [tamsel_addressToInteger $address]}]
    set theirs [tamsel_addressToInteger $from]
    set current [expr {$querier eq "" ? $ours : [tamsel_addressToInteger $querier]}]
    # A switch that queries from 0.0.0.0 on behalf of its ports takes no
    # part in the election.
    if {$theirs != 0 && $theirs < $ours && $theirs <= $current} {
        if {$querier ne $from} {
            lappend actions [list log "IGMP: $from queries the LAN (a lower address than\
                                       $address); this gateway only listens"]
            foreach key [array names groups] {
                dict set groups($key) query {}
            }
        }
        set querier $from
        if {[dict get $info version] == 3} {
            foreach key {robustness queryInterval} {
                if {[dict get $info $key] > 0} {
                    dict set adopted $key [dict get $info $key]
                }
            }
        }
        if {$group eq "0.0.0.0" && [dict get $info maxResponseMs] > 0} {
            dict set adopted responseMs [dict get $info maxResponseMs]
        }
        set querierUntil [expr {$now + [otherQuerierMs]}]
    }
    if {$group eq "0.0.0.0" || ![info exists groups($group)]
        || [dict get $info suppress] || [dict get $info maxResponseMs] == 0} {
        return $actions
    }
    set robustness [dict get $info robustness]
    if {$robustness == 0} {
        set robustness [setting robustness]
    }
    set until [expr {$now + $robustness * [dict get $info maxResponseMs]}]
    set state $groups($group)
    if {[llength $sources] == 0} {
        if {[dict get $state mode] eq "exclude" && [dict get $state timer] > $until} {
            dict set state timer $until
            dict set state left 1
        }
    } else {
        foreach source $sources {
            if {[dict exists $state sources $source]
                && [dict get $state sources $source] > $until} {
                dict set state sources $source $until
                dict set state left 1
            }
        }
    }
    set groups($group) $state
    return $actions
}

# ::veldra::igmp::expire --
#
#   What is due at now: the other querier's absence, the general queries,
#   the remaining last-member queries, and the ends of group and source
#   timers (a group in exclude mode falls back to the sources still asked
#   for; a group without them is forgotten). Returns the actions.

proc ::veldra::igmp::expire {now} {
    variable groups
    variable querier
    variable querierUntil
    variable adopted
    variable nextQuery
    variable startupLeft
    variable told
    set actions {}
    if {$querier ne "" && $now >= $querierUntil} {
        lappend actions [list log "IGMP: the querier $querier is silent; this gateway queries\
                                   the LAN again"]
        set querier ""
        set adopted {}
        set nextQuery $now
    }
    if {[isQuerier] && $now >= $nextQuery} {
        lappend actions [list query 0.0.0.0 {} 0]
        set interval [expr {[setting queryInterval] * 1000}]
        if {$startupLeft > 0} {
            incr startupLeft -1
        }
        if {$startupLeft > 0} {
            set interval [expr {$interval / 4}]
        }
        set nextQuery [expr {$now + $interval}]
    }
    foreach group [lsort [array names groups]] {
        set state $groups($group)
        lappend actions {*}[dueQuery $group state $now]
        set why [expr {[dict get $state left] ? "last leave" : "timer"}]
        set before [wanted $state]
        if {[dict get $state mode] eq "exclude" && [dict get $state timer] <= $now} {
            dict set state mode include
        }
        dict for {source until} [dict get $state sources] {
            if {$until <= $now} {
                dict unset state sources $source
            }
        }
        set oldest [expr {$now - [membershipMs]}]
        dict for {receiver heard} [dict get $state receivers] {
            if {$heard <= $oldest} {
                dict unset state receivers $receiver
            }
        }
        if {[dict get $state mode] eq "include" && [dict size [dict get $state sources]] == 0} {
            unset groups($group)
            array unset told full/*
            lappend actions [list sync $group $why]
            continue
        }
        set groups($group) $state
        if {[wanted $state] ne $before} {
            lappend actions [list sync $group $why]
        }
    }
    return $actions
}

# ::veldra::igmp::dueQuery --
#
#   The next last-member query of the group, when it is due at now and this
#   gateway still queries. A group-specific query carries the suppress flag
#   once a report has raised the group timer again; a source query asks
#   only for the sources still lowered.

proc ::veldra::igmp::dueQuery {group stateVar now} {
    upvar 1 $stateVar state
    variable config
    set query [dict get $state query]
    if {$query eq "" || [dict get $query at] > $now} {
        return {}
    }
    if {![isQuerier]} {
        dict set state query {}
        return {}
    }
    set lowered [expr {$now + [lastMemberMs]}]
    set sources {}
    set suppress 0
    if {[llength [dict get $query sources]] == 0} {
        set suppress [expr {[dict get $state timer] > $lowered}]
    } else {
        foreach source [dict get $query sources] {
            if {[dict exists $state sources $source]
                && [dict get $state sources $source] <= $lowered} {
                lappend sources $source
            }
        }
        if {[llength $sources] == 0} {
            dict set state query {}
            return {}
        }
    }
    dict incr query left -1
    dict set query sources $sources
    dict set query at [expr {$now + [dict get $config lastMemberInterval]}]
    dict set state query [expr {[dict get $query left] > 0 ? $query : {}}]
    list [list query $group $sources $suppress]
}

# ::veldra::igmp::wanted --
#
#   The sources to carry for a group's state: {""} (any source) in exclude
#   mode, else the sources asked for, in order.

proc ::veldra::igmp::wanted {state} {
    if {[dict get $state mode] eq "exclude"} {
        return [list ""]
    }
    lsort [dict keys [dict get $state sources]]
}

# ::veldra::igmp::nextDeadline --
#
#   When expire has something to do next (a time in milliseconds).

proc ::veldra::igmp::nextDeadline {} {
    variable groups
    variable querier
    variable querierUntil
    variable nextQuery
    set times [list [expr {$querier eq "" ? $nextQuery : $querierUntil}]]
    set lifetime [membershipMs]
    foreach group [array names groups] {
        set state $groups($group)
        if {[dict get $state mode] eq "exclude"} {
            lappend times [dict get $state timer]
        }
        lappend times {*}[dict values [dict get $state sources]]
        if {[dict get $state query] ne ""} {
            lappend times [dict get $state query at]
        }
        foreach heard [dict values [dict get $state receivers]] {
            lappend times [expr {$heard + $lifetime}]
        }
    }
    tcl::mathfunc::min {*}$times
}

# ::veldra::igmp::flows --
#
#   The flows to carry for a group now: every --igmp-ports port for each
#   wanted source. None for a group that is not known.

proc ::veldra::igmp::flows {group} {
    variable groups
    variable config
    if {![info exists groups($group)]} {
        return {}
    }
    set flows {}
    foreach source [wanted $groups($group)] {
        foreach port [dict get $config ports] {
            lappend flows [dict create group $group source $source port [dict get $port port] \
                               rtp [dict get $port rtp]]
        }
    }
    return $flows
}

# --- Carrying out --------------------------------------------------------------------

# ::veldra::igmp::tell --
#
#   Logs a message once per subject (a bounded record), so that reports
#   repeated every query interval cannot fill the log.

proc ::veldra::igmp::tell {subject message} {
    variable told
    if {[info exists told($subject)] || [array size told] >= 1024} {
        return
    }
    set told($subject) 1
    ::veldra::log $message
}

# ::veldra::igmp::perform --
#
#   Carries out the actions of heard and expire.

proc ::veldra::igmp::perform {actions} {
    foreach action $actions {
        switch -- [lindex $action 0] {
            sync {
                carry {*}[lrange $action 1 end]
            }
            query {
                sendQuery {*}[lrange $action 1 end]
            }
            refuse {
                lassign $action - group from why
                set subject [expr {[string match "already *" $why] ? "full/$group" : "out/$group"}]
                tell $subject "IGMP: not carrying $group for $from: $why"
            }
            log {
                ::veldra::log [lindex $action 1]
            }
        }
    }
}

# ::veldra::igmp::carry --
#
#   Brings what is carried of the group in line with its state: flows
#   added and removed, and the group logged once as learned (with why, the
#   first receiver) and once as dropped (with why, the last leave or the
#   timer).

proc ::veldra::igmp::carry {group why} {
    variable carried
    set had [expr {[info exists carried($group)] ? $carried($group) : {}}]
    set wanted {}
    set now {}
    foreach flow [flows $group] {
        set key [::veldra::groupKey $flow]
        lappend wanted $key
        if {$key in $had} {
            lappend now $key
        } elseif {[catch {::veldra::addGroup $flow receivers} message]} {
            tell fail/$key "IGMP: $message"
        } else {
            lappend now $key
        }
    }
    foreach key $had {
        if {$key ni $wanted} {
            ::veldra::removeGroup $key receivers
        }
    }
    if {[llength $now] == 0} {
        unset -nocomplain carried($group)
        if {[llength $had] > 0} {
            ::veldra::log "IGMP: dropped group $group ($why)"
        }
        return
    }
    set carried($group) $now
    if {[llength $had] == 0} {
        ::veldra::log "IGMP: learned group $group ($why); carrying [join $now {, }]"
    } elseif {$now ne $had} {
        ::veldra::log "IGMP: group $group now carried as [join $now {, }]"
    }
}

# ::veldra::igmp::sendQuery --
#
#   Sends a query on the LAN, in the version 3 form (which version 1 and 2
#   hosts answer as their own): a general one with the query response
#   interval, a group or group-and-source one with the last member query
#   interval. A failure is logged once.

proc ::veldra::igmp::sendQuery {group sources suppress} {
    variable config
    set responseMs [expr {$group eq "0.0.0.0" ? [responseMs]
                          : [dict get $config lastMemberInterval]}]
    if {[catch {igmp_sendQuery 3 $group $responseMs $sources [setting robustness] \
                    [setting queryInterval] $suppress} message]} {
        tell send/$message "IGMP: cannot send a query: $message"
    }
}

# --- Running ---------------------------------------------------------------------

# ::veldra::igmp::start --
#
#   Listens on the LAN interface and starts as its querier. Fails with the
#   engine's reason (not root, no such interface).

proc ::veldra::igmp::start {lanInterface} {
    variable interface
    variable address
    variable config
    set address [igmp_listen $lanInterface ::veldra::igmp::onEvent]
    set interface $lanInterface
    reset [clock milliseconds]
    ::veldra::log "IGMP: listening on $interface ($address), querying every\
                   [dict get $config queryInterval] s; carrying ports\
                   [join [lmap port [dict get $config ports] {portText $port}] {, }] of groups in\
                   [join [dict get $config networks] {, }]"
    tick
}

# ::veldra::igmp::onEvent --
#
#   The listener's procedure: one report, leave or query. Once the gateway
#   is stopping (its peers told to leave every group) it is ignored.

proc ::veldra::igmp::onEvent {kind from group sources info} {
    if {$::veldra::stopping} {
        return
    }
    perform [heard $kind $from $group $sources $info [clock milliseconds]]
    schedule
}

# ::veldra::igmp::tick --
#
#   What is due now. Once the gateway is stopping nothing is carried anew.

proc ::veldra::igmp::tick {} {
    variable timer ""
    if {$::veldra::stopping} {
        return
    }
    perform [expire [clock milliseconds]]
    schedule
}

# ::veldra::igmp::schedule --
#
#   Wakes tick when the next thing is due.

proc ::veldra::igmp::schedule {} {
    variable timer
    after cancel $timer
    set delay [expr {max(0, [nextDeadline] - [clock milliseconds])}]
    set timer [after $delay ::veldra::igmp::tick]
}

# ::veldra::igmp::status --
#
#   What the status page shows: empty when not listening, else a dictionary
#   {interface address querier refused groups}, querier being the address
#   of the router that queries the LAN and groups a list of dictionaries
#   {group sources receivers since} (sources empty for any source, since in
#   seconds since the epoch), by group address.

proc ::veldra::igmp::status {} {
    variable interface
    variable address
    variable querier
    variable refused
    variable groups
    if {$interface eq ""} {
        return {}
    }
    set list {}
    foreach group [lsort -dictionary [array names groups]] {
        set state $groups($group)
        set sources [wanted $state]
        if {$sources eq [list ""]} {
            set sources {}
        }
        lappend list [dict create group $group sources $sources \
                          receivers [lsort -dictionary [dict keys [dict get $state receivers]]] \
                          since [expr {[dict get $state since] / 1000}]]
    }
    dict create interface $interface address $address \
        querier [expr {$querier eq "" ? $address : $querier}] refused $refused groups $list
}
