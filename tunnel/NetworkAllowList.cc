// The allow-list of networks of a tunnel socket.
#include "tunnel/NetworkAllowList.hh"

#include <arpa/inet.h>

#include <cstdlib>
#include <string>

bool NetworkAllowList::parseNetwork(char const* text, unsigned& network, unsigned& mask) {
  std::string const whole(text);
  std::string::size_type const slash = whole.find('/');
  unsigned long prefixLength = 32;
  if (slash != std::string::npos) {
    std::string const digits = whole.substr(slash + 1);
    // Digits only: strtoul would also take signs, blanks and hexadecimal.
    if (digits.empty() || digits.size() > 2 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    prefixLength = std::strtoul(digits.c_str(), nullptr, 10);
    if (prefixLength > 32) return false;
  }
  // Four decimal parts exactly: inet_addr would also take "10" for
  // 0.0.0.10, which in a network is a trap.
  in_addr parsed;
  if (inet_pton(AF_INET, whole.substr(0, slash).c_str(), &parsed) != 1) return false;
  unsigned const address = parsed.s_addr;
  unsigned const hostMask = prefixLength == 0 ? 0u : ~0u << (32 - prefixLength);
  mask = htonl(hostMask);
  network = address & mask;
  return true;
}

void NetworkAllowList::add(unsigned network, unsigned mask) {
  networks_.push_back(Network{network & mask, mask});
}

bool NetworkAllowList::contains(unsigned address) const {
  for (Network const& n : networks_) {
    if ((address & n.mask) == n.network) return true;
  }
  return false;
}
