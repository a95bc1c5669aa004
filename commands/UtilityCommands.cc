// The utility commands of the groupsock family.
#include "commands/UtilityCommands.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "commands/CommandSupport.hh"
#include "commands/GroupsockCommands.hh"
#include "groupsock/AddressString.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/OurRandom.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/ArgumentHelpers.hh"
#include "runtime/TclUsageEnvironment.hh"

namespace {

// The body of the two interface-setting commands: parses the dotted address
// in argv[1] into setting, which applies to sockets set up from now on.
int setInterfaceAddress(Tcl_Interp* interp, int argc, char const** argv, char const* paramName,
                        unsigned& setting) {
  if (!CheckNumArgs(interp, argc, argv, paramName, nullptr)) return TCL_ERROR;
  std::optional<unsigned> const address = parseIPv4Address(argv[1]);
  if (!address) {
    Tcl_AppendResult(interp, "bad IP address: ", argv[1], static_cast<char*>(nullptr));
    return TCL_ERROR;
  }
  setting = *address;
  return TCL_OK;
}

}  // namespace

// ipAddressFromName host-name: the first address the name resolves to
// (dotted text resolves to itself), dotted.
int ipAddressFromNameCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "host-name", nullptr)) return TCL_ERROR;
  unsigned address;
  if (!resolveHostAddress(interp, argv[1], address)) return TCL_ERROR;
  Tcl_SetResult(interp, const_cast<char*>(AddressString(address).val()), TCL_VOLATILE);
  return TCL_OK;
}

// seedRandom seed: reseeds the process's generator, so that the numbers
// drawn after it repeat for the same seed.
int seedRandomCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "seed", nullptr)) return TCL_ERROR;
  int seed;
  if (Tcl_GetInt(interp, argv[1], &seed) != TCL_OK) return TCL_ERROR;
  our_srandom(static_cast<unsigned>(seed));
  return TCL_OK;
}

// random: a fraction from 0 up to, not including, 1, with ten digits after
// the point (the generator's 31-bit draw times 2^-31).
int randomCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  char text[32];
  std::snprintf(text, sizeof text, "%1.10f", std::ldexp(static_cast<double>(our_random()), -31));
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}

// processExists pid: "1" when a signal could be sent to process pid, "0"
// otherwise (also for a process that exists but may not be signalled by
// this one). 0 and negative numbers name process groups, not a process,
// and read "0".
int processExistsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "pid", nullptr)) return TCL_ERROR;
  int pid;
  if (Tcl_GetInt(interp, argv[1], &pid) != TCL_OK) return TCL_ERROR;
  bool const exists = pid > 0 && kill(pid, 0) == 0;
  Tcl_SetResult(interp, const_cast<char*>(exists ? "1" : "0"), TCL_STATIC);
  return TCL_OK;
}

// groupsock_initInSlave slave: registers the family in the slave
// interpreter, which gets an environment of its own. An unknown slave fails
// with the interpreter library's message.
int groupsock_initInSlaveCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "slave", nullptr)) return TCL_ERROR;
  Tcl_Interp* slave = Tcl_GetSlave(interp, argv[1]);
  if (slave == nullptr) return TCL_ERROR;
  Groupsock_Init(slave, groupsockCommandsTag());
  return TCL_OK;
}

// groupsock_loopbackWorks: "1" when the own-address discovery (run now if it
// has not run yet) saw its multicast test datagram come back.
int groupsock_loopbackWorksCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  ourIPAddress(*TclUsageEnvironment::getEnvironFromInterp(interp, groupsockCommandsTag()));
  Tcl_SetResult(interp, const_cast<char*>(loopbackWorks ? "1" : "0"), TCL_STATIC);
  return TCL_OK;
}

// groupsock_setSendingInterfaceAddress address-of-sending-interface: the
// interface for outgoing multicast of sockets set up from now on.
int groupsock_setSendingInterfaceAddressCmd(ClientData, Tcl_Interp* interp, int argc,
                                            char const** argv) {
  return setInterfaceAddress(interp, argc, argv, "address-of-sending-interface",
                             SendingInterfaceAddr);
}

// groupsock_setReceivingInterfaceAddress address-of-receiving-interface: the
// address port-less sockets set up from now on are bound to, and the
// interface of later memberships; it also becomes the own address.
int groupsock_setReceivingInterfaceAddressCmd(ClientData, Tcl_Interp* interp, int argc,
                                              char const** argv) {
  return setInterfaceAddress(interp, argc, argv, "address-of-receiving-interface",
                             ReceivingInterfaceAddr);
}
