# A built-in script reached as x_tcl; records the frame it ran in.
set probeFrame [info level]
lappend probeRuns x_tcl
