# Main script of the start-up test host: evaluates PROBE_SCRIPT, if set,
# while start-up still maps [source] to the built-in scripts.
if {[info exists env(PROBE_SCRIPT)]} {
    eval $env(PROBE_SCRIPT)
}
