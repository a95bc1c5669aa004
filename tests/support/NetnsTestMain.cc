// The main of every unit-test binary. Socket tests move the process into a
// private network namespace themselves (REQUIRE_NETNS in Netns.hh).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tcl.h>

int main(int argc, char** argv) {
  Tcl_FindExecutable(argv[0]);  // initialises the interpreter library
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
