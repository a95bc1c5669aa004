// The utility commands of the groupsock family: host-name resolution, the
// process's random generator, a process-existence test, registration in a
// slave interpreter, and the interface settings of new sockets. Groupsock_Init
// registers them behind the groupsock commands.
#ifndef VELDRA_COMMANDS_UTILITYCOMMANDS_HH
#define VELDRA_COMMANDS_UTILITYCOMMANDS_HH

#include <tcl.h>

int ipAddressFromNameCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv);
int seedRandomCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv);
int randomCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv);
int processExistsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv);
int groupsock_initInSlaveCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv);
int groupsock_loopbackWorksCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv);
int groupsock_setSendingInterfaceAddressCmd(ClientData, Tcl_Interp* interp, int argc,
                                            char const** argv);
int groupsock_setReceivingInterfaceAddressCmd(ClientData, Tcl_Interp* interp, int argc,
                                              char const** argv);

#endif
