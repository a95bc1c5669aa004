// A start-up test host: the gateway's start-up with a main script chosen by
// the environment (PROBE_MAIN, default probeMain.tcl), so that script tests
// can drive start-up paths the gateway's own main script never takes.
#include <cstdlib>

#include "startup/TclInit.hh"

int main(int argc, char** argv) {
  char const* mainScript = std::getenv("PROBE_MAIN");
  return commonMain(argc, argv, mainScript != nullptr ? mainScript : "probeMain.tcl", 1);
}
