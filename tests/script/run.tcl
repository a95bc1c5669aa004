# run.tcl --
#
#   tclsh run.tcl veldraBinary testFile
#
# Runs one tcltest file against a built binary and exits 1 if any test
# failed. Tests that open sockets carry the constraint "netns", true only
# inside the private network namespace that tests/support/in-netns makes.

set ::veldra [file normalize [lindex $argv 0]]
set testFile [file normalize [lindex $argv 1]]
set argv {}  ;# tcltest would take the words for its own options

package require tcltest 2.5
namespace import ::tcltest::*

set ::veldraProbe [file join [file dirname $::veldra] veldra_probe]
set ::scrambleTool [file join [file dirname $::veldra] tools scramble_scripts]

configure -verbose {error skip} -tmpdir [file join [temporaryDirectory] veldra-script-[pid]]
file mkdir [temporaryDirectory]
testConstraint netns [info exists ::env(VELDRA_NETNS)]
if {![testConstraint netns]} {
    puts "SKIP: tests marked netns need a private network namespace (run as root)"
}
source [file join [file dirname [info script]] helpers.tcl]

set ::failed 0
proc ::tcltest::cleanupTestsHook {} {
    variable numTests
    set ::failed $numTests(Failed)
}
source $testFile
cleanupTests
file delete -force [temporaryDirectory]
exit [expr {$::failed > 0}]
