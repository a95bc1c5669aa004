// The main of every unit-test binary. Socket tests move the process into a
// private network namespace themselves (REQUIRE_NETNS in Netns.hh).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tcl.h>

#include "runtime/EpollNotifier.hh"

int main(int argc, char** argv) {
  EpollNotifier::install();     // the gateway's notifier, as commonMain has it
  Tcl_FindExecutable(argv[0]);  // initialises the interpreter library
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
