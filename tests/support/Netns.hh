// Socket tests run only inside a private network namespace that the test
// process creates for itself, never in the host's own namespace.
#ifndef VELDRA_TESTS_SUPPORT_NETNS_HH
#define VELDRA_TESTS_SUPPORT_NETNS_HH

#include <gtest/gtest.h>

namespace testsupport {

// Moves the process into a fresh network namespace laid out by
// netns-setup.sh (once per process) and returns true, or returns false when
// that is not permitted. The process's own address there is OWN_ADDRESS, and
// PEER_ADDRESS is a second local address.
bool enterPrivateNetns();

// True when the process's namespace holds only the interfaces that
// netns-setup.sh makes (lo, vt0, vt1): never the case in the host's.
bool namespaceIsPrivate();

constexpr char const* OWN_ADDRESS = "10.99.0.1";
constexpr char const* PEER_ADDRESS = "10.99.0.2";

}  // namespace testsupport

// Skips the current test unless it runs in a private network namespace.
#define REQUIRE_NETNS()                                                            \
  do {                                                                             \
    if (!testsupport::enterPrivateNetns())                                         \
      GTEST_SKIP() << "needs a private network namespace (run the tests as root)"; \
  } while (0)

#endif
