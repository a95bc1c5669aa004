# helpers.tcl --
#
# Running the built binary as a user would: words on the command line,
# commands on standard input, and what comes back on standard output,
# standard error and as exit status.

# veldra ?-stdin text? ?-binary path? ?-env {name value ...}? ?-timeout s? ?arg ...?
#
#   Runs the binary (the one under test by default) to completion, at most
#   -timeout seconds (default 60), and returns the dictionary
#   {status N stdout text stderr text}, output exactly as written.

proc veldra {args} {
    set stdin ""
    set binary $::veldra
    set environment {}
    set timeout 60
    while {[llength $args] > 0} {
        switch -- [lindex $args 0] {
            -stdin   {set stdin [lindex $args 1]}
            -binary  {set binary [lindex $args 1]}
            -env     {set environment [lindex $args 1]}
            -timeout {set timeout [lindex $args 1]}
            default  {break}
        }
        set args [lrange $args 2 end]
    }
    set run [incr ::veldraRuns]
    set outFile [file join [::tcltest::temporaryDirectory] stdout-$run]
    set errFile [file join [::tcltest::temporaryDirectory] stderr-$run]
    set saved {}
    foreach {name value} $environment {
        if {[info exists ::env($name)]} {
            lappend saved $name $::env($name)
        }
        set ::env($name) $value
    }
    set status 0
    try {
        exec -- timeout -k 5 $timeout $binary {*}$args << $stdin > $outFile 2> $errFile
    } trap CHILDSTATUS {- options} {
        set status [lindex [dict get $options -errorcode] 2]
    } finally {
        # Element by element: unsetting the whole array would cut it loose
        # from the process environment.
        foreach {name value} $environment {
            unset -nocomplain ::env($name)
        }
        foreach {name value} $saved {
            set ::env($name) $value
        }
    }
    set out [readAndDelete $outFile]
    set err [readAndDelete $errFile]
    return [dict create status $status stdout $out stderr $err]
}

proc readAndDelete {file} {
    set chan [open $file]
    fconfigure $chan -translation binary
    set text [read $chan]
    close $chan
    file delete $file
    return $text
}

# veldraOut script: runs script on standard input and returns what it wrote
# to standard output, failing the test when the process did not end with
# status 0 and nothing on standard error.

proc veldraOut {script args} {
    set result [veldra -stdin $script {*}$args]
    if {[dict get $result status] != 0 || [dict get $result stderr] ne ""} {
        error "veldra failed: $result"
    }
    return [dict get $result stdout]
}
