// The groupsock and utility command family: scripts create multicast
// sockets (groupsocks), read and write datagrams on them, hand them to
// background relaying and change their parameters, and reach a few utilities
// (name resolution, the random generator, process existence, the interface
// settings). A groupsock is known to scripts as an interpreter channel named
// "file" followed by its socket descriptor, e.g. file7.
#ifndef VELDRA_COMMANDS_GROUPSOCKCOMMANDS_HH
#define VELDRA_COMMANDS_GROUPSOCKCOMMANDS_HH

#include <tcl.h>

class Groupsock;
class UsageEnvironment;

// Attaches (or finds) the usage environment of interp under tag, remembers
// tag for the commands, and registers the 22 commands. Returns 0.
int Groupsock_Init(Tcl_Interp* interp, char const* tag);

// The groupsock behind the channel called name in env's interpreter, or
// nullptr with the reason in the result: the interpreter's own message
// followed by "Failed to get channel for \"name\"" when there is no such
// channel, "Failed to get file from channel for \"name\"" when it has no
// readable descriptor, "socket is no longer in use" when no groupsock has
// that descriptor.
Groupsock* Groupsock_lookupByName(UsageEnvironment& env, char const* name);

// The tag given to the most recent Groupsock_Init, under which the commands
// find their environment.
char const* groupsockCommandsTag();

#endif
