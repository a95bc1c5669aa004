// The dotted text of an IPv4 address.
#include "groupsock/AddressString.hh"

#include <arpa/inet.h>

#include <cstdio>

namespace {

// "255.255.255.255" and its terminator.
constexpr unsigned TEXT_SIZE = 16;

}  // namespace

AddressString::AddressString(sockaddr_in const& addr) { init(addr.sin_addr.s_addr); }

AddressString::AddressString(in_addr const& addr) { init(addr.s_addr); }

// addr is in network order.
AddressString::AddressString(unsigned addr) { init(addr); }

AddressString::~AddressString() { delete[] text; }

// Fills a fresh buffer with the four bytes of addr (network order), the
// most significant first.
void AddressString::init(unsigned addr) {
  text = new char[TEXT_SIZE];
  unsigned hostOrder = ntohl(addr);
  std::snprintf(text, TEXT_SIZE, "%u.%u.%u.%u", hostOrder >> 24, (hostOrder >> 16) & 0xFF,
                (hostOrder >> 8) & 0xFF, hostOrder & 0xFF);
}
