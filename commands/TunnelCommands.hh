// The tunnel command family (corvex_*): scripts create tunnels to peer
// gateways, open tunnel sockets that accept tunnels from peers they did not
// know, join and leave groups through a tunnel on the peer's behalf, probe
// and destroy tunnels, and read endpoints, activity and traffic statistics.
//
// A tunnel is known to scripts by the name "UDPtunnel:" + the peer's dotted
// address + ":" + the peer's port, e.g. UDPtunnel:192.0.2.7:10100. There is
// at most one tunnel per peer address and port, so the name is unique.
// Tunnel ports default to 10100.
#ifndef VELDRA_COMMANDS_TUNNELCOMMANDS_HH
#define VELDRA_COMMANDS_TUNNELCOMMANDS_HH

#include <tcl.h>

// Attaches (or finds) the usage environment of interp under tag, remembers
// tag for the commands, and registers the 22 commands. Returns 0.
int corvex_Init(Tcl_Interp* interp, char const* tag);

#endif
