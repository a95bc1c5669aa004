# tamsel_common.tcl --
#
# Helpers shared by the built-in scripts and by any later tool built on the
# same engine. This script owns:
#   - timestamped logging to standard error (tamsel_log);
#   - background errors: handlers that scripts register, and a log line for
#     whatever no handler takes (bgerror, tamsel_onBackgroundError);
#   - the command line and configuration files: option declarations, their
#     parsing and checking, and the help text (tamsel_parseOptions,
#     tamsel_readConfig, tamsel_usage), with checkers for common values;
#   - usage errors: every problem with options or a configuration file is
#     an error with the error code {TAMSEL USAGE} and a one-line message.
#
# Option declarations are lists {names valueName help ?properties?}:
#   names       the option's names, short ones first: {-p --port}; the last
#               one is the option's key in every result
#   valueName   what the help calls the value ("N", "ADDR"); empty for an
#               option without a value (a flag)
#   help        one line for the help text
#   properties  a dictionary: "check" a command prefix that is called with
#               the value and returns it checked (possibly normalised) or
#               fails with the reason; "repeat" 1 when the option may be
#               given more than once (its values are then collected)

# tamsel_log --
#
#   Writes one line to standard error: the local date and time, the program
#   name and the message. systemd's journal takes such lines as they are.

proc tamsel_log {message} {
    set now [clock format [clock seconds] -format {%Y-%m-%d %H:%M:%S}]
    puts stderr "$now veldra: $message"
}

# tamsel_usageError --
#
#   Fails with a usage error: the error code {TAMSEL USAGE} and message.

proc tamsel_usageError {message} {
    return -code error -level 2 -errorcode {TAMSEL USAGE} $message
}

# --- Background errors ------------------------------------------------------

namespace eval ::tamsel {
    variable backgroundErrorHandlers {}
}

# tamsel_onBackgroundError --
#
#   Registers a command prefix that is called with the message of every
#   background error; a handler that returns 1 has dealt with the error, and
#   the handlers after it are not asked.

proc tamsel_onBackgroundError {command} {
    lappend ::tamsel::backgroundErrorHandlers $command
}

# bgerror --
#
#   Background errors (failures inside event handlers, tunnels torn down)
#   go to the registered handlers; one that none takes is logged, never
#   shown as the interpreter's default dialogue text.

proc bgerror {message} {
    foreach handler $::tamsel::backgroundErrorHandlers {
        if {[catch {{*}$handler $message} handled]} {
            tamsel_log "background error handler failed: $handled"
        } elseif {$handled eq "1"} {
            return
        }
    }
    tamsel_log "background error: $message"
}

# --- Options ------------------------------------------------------------------

# tamsel_optionKey --
#
#   The key of a declaration: its last name, as "--port".

proc tamsel_optionKey {declaration} {
    lindex $declaration 0 end
}

# tamsel_checkOption --
#
#   The value of the declared option, checked by its checker; fails with a
#   usage error "where: reason" (where is "option --port" or "file:line").

proc tamsel_checkOption {declaration value where} {
    set check [dict get [tamsel_optionProperties $declaration] check]
    if {$check eq ""} {
        return $value
    }
    if {[catch {{*}$check $value} checked]} {
        tamsel_usageError "$where: $checked"
    }
    return $checked
}

proc tamsel_optionProperties {declaration} {
    dict merge {check {} repeat 0} [lindex $declaration 3]
}

# tamsel_storeOption --
#
#   Stores a checked value in the result dictionary variable: appended for
#   an option that repeats, replacing any earlier one otherwise.

proc tamsel_storeOption {resultVar declaration value} {
    upvar 1 $resultVar result
    set key [tamsel_optionKey $declaration]
    if {[dict get [tamsel_optionProperties $declaration] repeat]} {
        dict lappend result $key $value
    } else {
        dict set result $key $value
    }
}

# tamsel_parseOptions --
#
#   Parses argList against declarations. A value is given as the next word
#   or after "=" (--port=10100); "--" ends the options; a word that does not
#   begin with "-" is an argument. Returns a dictionary of the options seen,
#   by key (flags map to 1, repeated options to the list of their values),
#   with the key "" holding the arguments. Errors are usage errors.

proc tamsel_parseOptions {argList declarations} {
    set byName [dict create]
    foreach declaration $declarations {
        foreach name [lindex $declaration 0] {
            dict set byName $name $declaration
        }
    }
    set result [dict create]
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
        if {![dict exists $byName $word]} {
            tamsel_usageError "unknown option \"$word\""
        }
        set declaration [dict get $byName $word]
        if {[lindex $declaration 1] ne ""} {
            if {!$hasValue} {
                if {$i + 1 >= [llength $argList]} {
                    tamsel_usageError "option \"$word\" needs a value"
                }
                set value [lindex $argList [incr i]]
            }
            set value [tamsel_checkOption $declaration $value "option \"$word\""]
        } elseif {$hasValue} {
            tamsel_usageError "option \"$word\" takes no value"
        } else {
            set value 1
        }
        tamsel_storeOption result $declaration $value
    }
    dict set result "" $rest
    return $result
}

# tamsel_readConfig --
#
#   Reads options from the file at path: one option per line, its key
#   without the leading dashes, then its value (the rest of the line, blanks
#   around it removed); "#" starts a comment, blank lines are ignored.
#   Only the declarations given are known in a file. Returns a dictionary
#   as tamsel_parseOptions does, without the "" key. Errors are usage errors
#   that name the file and line.

proc tamsel_readConfig {path declarations} {
    set byKey [dict create]
    foreach declaration $declarations {
        dict set byKey [string trimleft [tamsel_optionKey $declaration] -] $declaration
    }
    if {[catch {open $path r} channel]} {
        tamsel_usageError "cannot read configuration file \"$path\": [tamsel_systemReason $channel]"
    }
    try {
        fconfigure $channel -encoding utf-8
        set lines [split [read $channel] \n]
    } on error {message} {
        tamsel_usageError "cannot read configuration file \"$path\": $message"
    } finally {
        close $channel
    }
    set result [dict create]
    set number 0
    foreach line $lines {
        incr number
        set where "$path:$number"
        set line [string trim [regsub {#.*$} $line ""]]
        if {$line eq ""} {
            continue
        }
        regexp {^(\S+)\s*(.*)$} $line -> key value
        if {![dict exists $byKey $key]} {
            tamsel_usageError "$where: unknown key \"$key\""
        }
        set declaration [dict get $byKey $key]
        if {[lindex $declaration 1] eq ""} {
            if {$value ne ""} {
                tamsel_usageError "$where: \"$key\" takes no value"
            }
            set value 1
        } elseif {$value eq ""} {
            tamsel_usageError "$where: \"$key\" needs a value"
        } else {
            set value [tamsel_checkOption $declaration $value $where]
        }
        tamsel_storeOption result $declaration $value
    }
    return $result
}

# tamsel_systemReason --
#
#   The reason part of an error message from open and friends, without the
#   file name that Tcl puts in front.

proc tamsel_systemReason {message} {
    regsub {^couldn't open "[^"]*": } $message {}
}

# tamsel_mergeOptions --
#
#   The options of a file overridden by those of the command line: a value
#   given on the command line replaces the file's, except that the values of
#   a repeatable option are added to the file's.

proc tamsel_mergeOptions {fromFile fromCommandLine declarations} {
    set merged $fromFile
    foreach declaration $declarations {
        set key [tamsel_optionKey $declaration]
        if {![dict exists $fromCommandLine $key]} {
            continue
        }
        set value [dict get $fromCommandLine $key]
        if {[dict get [tamsel_optionProperties $declaration] repeat]} {
            dict lappend merged $key {*}$value
        } else {
            dict set merged $key $value
        }
    }
    if {[dict exists $fromCommandLine ""]} {
        dict set merged "" [dict get $fromCommandLine ""]
    }
    return $merged
}

# tamsel_usage --
#
#   The help text: a synopsis line, a description, and one line per option.

proc tamsel_usage {synopsis description declarations} {
    set text "usage: $synopsis\n\n$description\n\noptions:\n"
    foreach declaration $declarations {
        lassign $declaration names valueName help
        set left [join $names ", "]
        if {$valueName ne ""} {
            append left " $valueName"
        }
        if {[string length $left] > 24} {
            append text "  $left\n" [format "  %-24s %s\n" "" $help]
        } else {
            append text [format "  %-24s %s\n" $left $help]
        }
    }
    return [string trimright $text]
}

# --- Checkers for option values ---------------------------------------------
#
# Each takes a value and returns it checked and normalised, or fails with a
# reason that reads well after "option \"--port\": ".

# tamsel_checkInteger --
#
#   A decimal integer from min to max.

proc tamsel_checkInteger {min max value} {
    if {![regexp {^-?[0-9]{1,10}$} $value] || [scan $value %lld number] != 1
        || $number < $min || $number > $max} {
        error "expected an integer from $min to $max, got \"$value\""
    }
    return $number
}

# tamsel_checkSeconds --
#
#   A number of seconds from min to max, fractions allowed (0.5).

proc tamsel_checkSeconds {min max value} {
    if {![regexp {^([0-9]+(\.[0-9]*)?|\.[0-9]+)$} $value]
        || $value < $min || $value > $max} {
        error "expected a number of seconds from $min to $max, got \"$value\""
    }
    return [expr {double($value)}]
}

# tamsel_checkPort --
#
#   A UDP or TCP port number, 1 to 65535.

proc tamsel_checkPort {value} {
    if {[catch {tamsel_checkInteger 1 65535 $value} port]} {
        error "expected a port number from 1 to 65535, got \"$value\""
    }
    return $port
}

# tamsel_resolve --
#
#   The dotted IPv4 address of a host name or of dotted text; fails with
#   "cannot resolve ..." when there is none.

proc tamsel_resolve {host} {
    if {[tamsel_isDotted $host]} {
        return $host
    }
    if {$host eq "" || [catch {ipAddressFromName $host} address]} {
        error "cannot resolve \"$host\" to an IPv4 address"
    }
    return $address
}

# tamsel_isDotted --
#
#   Whether text is an IPv4 address in dotted form, four parts of 0 to 255.

proc tamsel_isDotted {text} {
    if {![regexp {^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})$} $text -> a b c d]} {
        return 0
    }
    foreach part [list $a $b $c $d] {
        if {[scan $part %d] > 255} {
            return 0
        }
    }
    return 1
}

# tamsel_addressToInteger --
#
#   The 32-bit number of a dotted address (host order, for comparisons).

proc tamsel_addressToInteger {dotted} {
    lassign [split $dotted .] a b c d
    expr {([scan $a %d] << 24) | ([scan $b %d] << 16) | ([scan $c %d] << 8) | [scan $d %d]}
}

proc tamsel_integerToAddress {number} {
    format %d.%d.%d.%d [expr {($number >> 24) & 255}] [expr {($number >> 16) & 255}] \
        [expr {($number >> 8) & 255}] [expr {$number & 255}]
}
