// A usage environment on a fresh interpreter, for tests of engine code that
// reports through one. Deleting the interpreter deletes the environment.
#ifndef VELDRA_TESTS_UNIT_GROUPSOCK_INTERPENV_HH
#define VELDRA_TESTS_UNIT_GROUPSOCK_INTERPENV_HH

#include <tcl.h>

#include "runtime/TclUsageEnvironment.hh"

class InterpEnv {
 public:
  InterpEnv()
      : interp(Tcl_CreateInterp()),
        env(*TclUsageEnvironment::getEnvironFromInterp(interp, "veldra")) {}
  ~InterpEnv() { Tcl_DeleteInterp(interp); }
  InterpEnv(InterpEnv const&) = delete;
  InterpEnv& operator=(InterpEnv const&) = delete;

  Tcl_Interp* const interp;
  UsageEnvironment& env;
};

#endif
