// The shared parts of the command families.
#include "commands/CommandSupport.hh"

#include "groupsock/NetAddress.hh"
#include "runtime/TclUsageEnvironment.hh"

TclUsageEnvironment& CommandFamily::envOf(Tcl_Interp* interp) const {
  return *TclUsageEnvironment::getEnvironFromInterp(interp, tag_.c_str());
}

// tag may be the family's own text (groupsock_initInSlave passes it back).
void CommandFamily::attach(Tcl_Interp* interp, char const* tag,
                           TclUsageEnvironment::DeletionHook hook) {
  TclUsageEnvironment* env = TclUsageEnvironment::getEnvironFromInterp(interp, tag);
  if (hook != nullptr) env->addDeletionHook(hook);
  if (tag_ != tag) tag_ = tag;
}

bool resolveHostAddress(Tcl_Interp* interp, char const* name, unsigned& address) {
  NetAddressList addresses(name);
  if (firstIPv4Address(addresses, address)) return true;
  Tcl_AppendResult(interp, "failed to find network address for \"", name, "\"",
                   static_cast<char*>(nullptr));
  return false;
}
