#include "tests/support/Netns.hh"

#include <net/if.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace testsupport {
namespace {

// True when the namespace holds exactly the interfaces netns-setup.sh makes,
// which the host's never does. Guards against a stray VELDRA_NETNS in the
// environment of a process that is still in the host's namespace.
bool outsideHostNamespace() {
  std::set<std::string> names;
  struct if_nameindex* list = if_nameindex();
  if (list == nullptr) return false;
  for (struct if_nameindex* i = list; i->if_index != 0; ++i) names.insert(i->if_name);
  if_freenameindex(list);
  return names == std::set<std::string>{"lo", "vt0", "vt1"};
}

}  // namespace

bool enterPrivateNetns() {
  static int state = 0;  // 0 untried, 1 inside, -1 not permitted
  if (state != 0) return state > 0;
  state = -1;
  if (std::getenv("VELDRA_NETNS") != nullptr && outsideHostNamespace()) {
    // Started inside one by tests/support/in-netns.
    state = 1;
    return true;
  }
  if (unshare(CLONE_NEWNET) != 0) return false;
  if (std::system(VELDRA_NETNS_SETUP " >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "netns-setup.sh failed inside the new namespace\n");
    std::abort();  // never fall back to the host's network
  }
  if (!outsideHostNamespace()) {
    std::fprintf(stderr, "the new namespace is not laid out as netns-setup.sh should make it\n");
    std::abort();
  }
  state = 1;
  return true;
}

bool namespaceIsPrivate() { return outsideHostNamespace(); }

}  // namespace testsupport
