# init.tcl --
#
# Makes the interpreter library usable in the gateway. Start-up runs this
# built-in script in place of the library's own search for its init.tcl:
# it finds the installed Tcl library, runs the library's init.tcl with the
# real [source] (so auto_path, [unknown], on-demand loading of [parray],
# [history] and [clock format], and [package require] work), and lets the
# library keep loading its own files while start-up still maps [source] to
# the built-in scripts.

namespace eval ::tamsel {}

# ::tamsel::libraryCandidates --
#
#   The directories that may hold the interpreter library, in the order the
#   interpreter itself would try them.

proc ::tamsel::libraryCandidates {} {
    global env tcl_pkgPath
    set version [info tclversion]
    set candidates {}
    if {[info exists ::tcl_library]} {
        lappend candidates $::tcl_library
    }
    if {[info exists env(TCL_LIBRARY)] && $env(TCL_LIBRARY) ne ""} {
        lappend candidates $env(TCL_LIBRARY)
    }
    if {![catch {::tcl::pkgconfig get scriptdir,runtime} dir]} {
        lappend candidates $dir
    }
    set parent [file dirname [file dirname [info nameofexecutable]]]
    lappend candidates [file join $parent lib tcl$version]
    if {[info exists tcl_pkgPath]} {
        foreach dir $tcl_pkgPath {
            lappend candidates [file join $dir tcl$version]
        }
    }
    return $candidates
}

# ::tamsel::findLibrary --
#
#   The first candidate directory that holds an init.tcl; an error naming
#   every directory tried when none does.

proc ::tamsel::findLibrary {} {
    set tried {}
    foreach dir [libraryCandidates] {
        if {[file readable [file join $dir init.tcl]]} {
            return [file normalize $dir]
        }
        lappend tried $dir
    }
    error "cannot find the Tcl library (set TCL_LIBRARY); looked in: [join $tried {, }]"
}

# ::tamsel::isLibraryFile --
#
#   Whether path is an existing file inside one of the trees the library
#   loads its own scripts and packages from.

proc ::tamsel::isLibraryFile {path} {
    if {![file isfile $path]} {
        return 0
    }
    set path [file normalize $path]
    set roots [list $::tcl_library]
    if {[info exists ::auto_path]} {
        lappend roots {*}$::auto_path
    }
    if {![catch {::tcl::tm::path list} tmPaths]} {
        lappend roots {*}$tmPaths
    }
    foreach root $roots {
        set root [file normalize $root]
        if {[string first $root/ $path] == 0} {
            return 1
        }
    }
    return 0
}

set tcl_library [::tamsel::findLibrary]
old_source [file join $tcl_library init.tcl]

# Until the main script has run, start-up maps [source path/root.ext] to the
# built-in script root_ext. The library meanwhile loads its own files on
# demand, with [source path] (auto-loaded procedures, package scripts) and
# [source -encoding utf-8 path] (clock.tcl, modules); those must reach the
# real files, or the mapping would ask the store for a script it does not
# hold and end the process. Start-up restores the real [source] by renaming,
# which removes this procedure along with the mapping.
proc source {args} {
    if {[llength $args] != 1 || [::tamsel::isLibraryFile [lindex $args 0]]} {
        tailcall ::old_source {*}$args
    }
    set fileName [lindex $args 0]
    set basename [file tail $fileName]
    set root [file root $basename]
    set ext [string range [file extension $basename] 1 end]
    uplevel 1 [list tamsel_source ${root}_$ext]
}
