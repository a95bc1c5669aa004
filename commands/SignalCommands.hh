// veldra_onSignal: scripts that the process runs when it receives a signal.
//
// The signal handler only writes the signal's number into a pipe, which the
// event loop watches like a socket; the script then runs at global level
// from the event loop, on the interpreter's one thread. A gateway waits in
// the event loop, so its scripts run as soon as the signal comes.
#ifndef VELDRA_COMMANDS_SIGNALCOMMANDS_HH
#define VELDRA_COMMANDS_SIGNALCOMMANDS_HH

#include <tcl.h>

// Registers veldra_onSignal in interp; returns 0.
int Signal_Init(Tcl_Interp* interp);

// veldra_onSignal signal ?script
//
// signal is SIGHUP, SIGINT, SIGTERM, SIGUSR1 or SIGUSR2 (the SIG may be
// left out). With a script, the signal runs it from now on instead of its
// default action; with an empty script the default action is back. The
// result is the script in force (empty for the default action). A script
// that fails is reported as a background error.
int veldra_onSignalCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv);

#endif
