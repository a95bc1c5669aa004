// veldra_onSignal: scripts that the process runs when it receives a signal.
//
// The signal handler only writes the signal's number into a pipe. A relay
// thread of ours reads it and marks the signal's asynchronous handler
// (Tcl_AsyncMark), which wakes whatever notifier the event loop uses; the
// interpreter then runs the script at global level at its next safe point,
// the event loop included. Tcl_AsyncMark takes mutexes, so it is never
// called from inside the signal handler itself.
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
