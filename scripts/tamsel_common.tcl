# tamsel_common.tcl --
#
# Helpers shared by the built-in scripts: command-line options, timestamped
# logging to standard error, and the handler of background errors.

# tamsel_log --
#
#   Writes one line to standard error: the local date and time, the program
#   name and the message.

proc tamsel_log {message} {
    set now [clock format [clock seconds] -format {%Y-%m-%d %H:%M:%S}]
    puts stderr "$now veldra: $message"
}

# bgerror --
#
#   Background errors (failures inside event handlers, tunnels torn down)
#   are logged, never shown as the interpreter's default dialogue text.

proc bgerror {message} {
    tamsel_log "background error: $message"
}

# tamsel_parseOptions --
#
#   Parses argList against declarations, a list of {name takesValue help} triples
#   such as {--port 1 "tunnel port"}. A value is given as the next word or
#   after "=" (--port=10100); "--" ends the options. Returns a dictionary of
#   the options seen (flags map to 1) with the key "" holding the remaining
#   words. Errors carry the error code {TAMSEL USAGE} and a one-line message.

proc tamsel_parseOptions {argList declarations} {
    set known [dict create]
    foreach declaration $declarations {
        dict set known [lindex $declaration 0] [lindex $declaration 1]
    }
    set options [dict create]
    set rest {}
    for {set i 0} {$i < [llength $argList]} {incr i} {
        set word [lindex $argList $i]
        if {$word eq "--"} {
            lappend rest {*}[lrange $argList [expr {$i + 1}] end]
            break
        }
        if {[string index $word 0] ne "-" || $word eq "-"} {
            lappend rest $word
            continue
        }
        set value ""
        set hasValue [regexp {^([^=]+)=(.*)$} $word -> word value]
        if {![dict exists $known $word]} {
            return -code error -errorcode {TAMSEL USAGE} "unknown option \"$word\""
        }
        if {[dict get $known $word]} {
            if {!$hasValue} {
                if {$i + 1 >= [llength $argList]} {
                    return -code error -errorcode {TAMSEL USAGE} "option \"$word\" needs a value"
                }
                set value [lindex $argList [incr i]]
            }
            dict set options $word $value
        } elseif {$hasValue} {
            return -code error -errorcode {TAMSEL USAGE} "option \"$word\" takes no value"
        } else {
            dict set options $word 1
        }
    }
    dict set options "" $rest
    return $options
}

# tamsel_usage --
#
#   The help text: a synopsis line, a description, and one line per option.

proc tamsel_usage {synopsis description declarations} {
    set text "usage: $synopsis\n\n$description\n\noptions:\n"
    foreach declaration $declarations {
        lassign $declaration name takesValue help
        if {$takesValue} {
            append name " VALUE"
        }
        append text [format "  %-18s %s\n" $name $help]
    }
    return [string trimright $text]
}
