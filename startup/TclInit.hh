// Process start-up: creates the delay queue and the interpreter, registers
// the command sets, runs the built-in library and main scripts with
// [source] mapped to the built-in store, then evaluates commands read from
// standard input until it ends.
#ifndef VELDRA_STARTUP_TCLINIT_HH
#define VELDRA_STARTUP_TCLINIT_HH

#include <tcl.h>

// Linked read-only to the script variable of the same name; always 1.
extern int haveOutputStreams;

int commonMain(int argc, char** argv, char const* mainScriptName, unsigned char overrideSource);

void tclInit(int argc, char** argv, char const* mainScriptName, unsigned char overrideSource,
             unsigned char shellMode, Tcl_Interp* interp);

// Steps up to running the library script; 0 on success, 1 on failure.
int tclInitInternal(int argc, char** argv, unsigned char overrideSource, unsigned char shellMode,
                    char*& fileName, bool& interactive, Tcl_Interp*& interp);
int tclInitInternal1(Tcl_Interp* interp, unsigned char overrideSource, unsigned char shellMode,
                     char* fileName, bool& interactive);

// Links haveOutputStreams and registers every command set; 0 or 1.
int setupNewCommands(Tcl_Interp* interp);

// Reports a start-up failure on standard error and ends the process with status 1.
[[noreturn]] void tclInitError(Tcl_Interp* interp, char** argv);

// Writes text unchanged to the process's standard error stream.
void alternativeErrorOutput(char const* text);

#endif
