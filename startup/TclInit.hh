// Process start-up: creates the delay queue and the interpreter, registers
// the command sets, runs the built-in library and main scripts with
// [source] mapped to the built-in store, then evaluates commands read from
// standard input until it ends.
#ifndef VELDRA_STARTUP_TCLINIT_HH
#define VELDRA_STARTUP_TCLINIT_HH

#include <tcl.h>

// Linked read-only to the script variable of the same name; always 1.
extern int haveOutputStreams;

// Installs the notifier, creates the delay queue and runs tclInit; 0.
int commonMain(int argc, char** argv, char const* mainScriptName, unsigned char overrideSource);

// Creates the interpreter, runs the library script and then the main script
// mainScriptName from the built-in store, then reads commands from standard
// input until it ends. overrideSource maps [source] to the built-in store
// while the two scripts run. Any failure takes the failure exit.
void tclInit(int argc, char** argv, char const* mainScriptName, unsigned char overrideSource);

// Creates the interpreter (into interp), sets argv, argc and argv0, registers
// the command sets and tamsel_localFile, then runs tclInitInternal1. 0 on
// success, 1 on failure (interp is then whatever was created, or nullptr).
int tclInitInternal(int argc, char** argv, unsigned char overrideSource, Tcl_Interp*& interp);
// Creates tamsel_source, maps [source] to the built-in store when
// overrideSource is set, sets tcl_interactive to 0 and sources the library
// script init.tcl from the store. 0 on success, 1 on failure, with the
// reason as the interpreter's result.
int tclInitInternal1(Tcl_Interp* interp, unsigned char overrideSource);

// Links haveOutputStreams and registers every command set; 0 or 1.
int setupNewCommands(Tcl_Interp* interp);

// Reports a start-up failure on standard error and ends the process with status 1.
[[noreturn]] void tclInitError(Tcl_Interp* interp, char** argv);

// Writes text unchanged to the process's standard error stream.
void alternativeErrorOutput(char const* text);

#endif
