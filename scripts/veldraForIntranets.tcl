# veldraForIntranets.tcl --
#
# The gateway's main script. It reads the command line and returns, after
# which start-up evaluates script commands read from standard input.

source tamsel_common.tcl

set veldra_version @VELDRA_VERSION@

set veldra_options {
    {--help    0 "print this help and exit"}
    {--version 0 "print the version and exit"}
    {--verbose 0 "log start-up to standard error"}
}

if {[catch {tamsel_parseOptions $argv $veldra_options} veldra_commandLine details]} {
    if {[dict get $details -errorcode] ne {TAMSEL USAGE}} {
        return -options $details $veldra_commandLine
    }
    puts stderr "veldra: $veldra_commandLine (try --help)"
    exit 2
}
if {[llength [dict get $veldra_commandLine ""]] > 0} {
    puts stderr "veldra: unexpected argument \"[lindex [dict get $veldra_commandLine ""] 0]\" (try --help)"
    exit 2
}

if {[dict exists $veldra_commandLine --help]} {
    puts [tamsel_usage "veldra \[options\]" \
        "A multicast tunnelling gateway for IPv4. After start-up it evaluates\nscript commands read from standard input until the input ends." \
        $veldra_options]
    exit 0
}
if {[dict exists $veldra_commandLine --version]} {
    puts "veldra $veldra_version"
    exit 0
}
if {[dict exists $veldra_commandLine --verbose]} {
    tamsel_log "veldra $veldra_version started; reading commands from standard input"
}
