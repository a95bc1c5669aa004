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
// tag for the commands, and registers the 22 commands. The groupsocks made
// through that environment are deleted with it, that is with the
// interpreter (a slave's, with `interp delete`). Returns 0.
int Groupsock_Init(Tcl_Interp* interp, char const* tag);

// The groupsock behind the channel called name in env's interpreter, or
// nullptr with the reason in the result: the interpreter's own message
// followed by "Failed to get channel for \"name\"" when there is no such
// channel, "Failed to get file from channel for \"name\"" when it has no
// readable descriptor, "socket is no longer in use" when no groupsock has
// that descriptor.
Groupsock* Groupsock_lookupByName(UsageEnvironment& env, char const* name);

// Deletes a groupsock of the scripts as groupsock_delete does: turns its
// background reading off, removes it from OurGroupsocks, deletes it (when
// safe) and detaches its channel, which the caller unregisters if it wants
// to; tunnels that had joined through it lose it without notice.
void Groupsock_discard(Groupsock& groupsock);

// The tag given to the most recent Groupsock_Init, under which the commands
// find their environment.
char const* groupsockCommandsTag();

#endif
