// The IGMP command family (igmp_*): the engine side of learning which
// groups the LAN's receivers want. A script listens to IGMP on its LAN
// interface, receives every membership report, leave and query as a call
// of a procedure it names (see IgmpScriptSink.hh for the words), sends
// queries when it is the querier, and reads the listener's counts. One
// listener at a time per process.
#ifndef VELDRA_COMMANDS_IGMPCOMMANDS_HH
#define VELDRA_COMMANDS_IGMPCOMMANDS_HH

#include <tcl.h>

// Attaches (or finds) the usage environment of interp under tag, remembers
// tag for the commands, and registers the 4 commands. Returns 0.
int Igmp_Init(Tcl_Interp* interp, char const* tag);

#endif
