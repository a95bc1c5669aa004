# driver.tcl --
#
# Runs a gateway under test. veldra dispatches socket reads and timers only
# while a script waits in the event loop, so the test-bed hands the gateway
# this script on standard input; it waits in the event loop for good and
# takes further commands from the FIFO named by VLD_CTL without blocking.
#
# Protocol, one line each way:
#   request   "<id> <script>"          (the script is evaluated at global level)
#   answer    "@@<id> ok <result>" or "@@<id> error <message>"
#   events    "@@ready <pid>" once at start, "@@bgerror <message>" for every
#             background error
# on standard output, flushed at once. Newlines and backslashes in results
# are written as \n and \\ so that every answer stays on one line.

proc driverWrite {line} {
    puts stdout $line
    flush stdout
}

proc driverOneLine {text} {
    string map [list \\ \\\\ \n \\n] $text
}

# Background errors (a torn-down tunnel, a failed dynamic tunnel) are
# recorded for the test instead of being logged.
proc bgerror {message} {
    driverWrite "@@bgerror [driverOneLine $message]"
}

proc driverControl {channel} {
    while {[gets $channel line] >= 0} {
        if {![regexp {^(\S+) (.*)$} $line -> id script]} {
            continue
        }
        set code [catch {uplevel #0 $script} result]
        driverWrite "@@$id [expr {$code == 1 ? "error" : "ok"}] [driverOneLine $result]"
    }
}

# Read-write, so that the FIFO never reads as ended between two writers.
set driverChannel [open $env(VLD_CTL) {RDWR NONBLOCK}]
fconfigure $driverChannel -blocking 0 -buffering line -translation lf
fileevent $driverChannel readable [list driverControl $driverChannel]
driverWrite "@@ready [pid]"
vwait driverForever
