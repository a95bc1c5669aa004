// IPv4 addresses as counted byte strings, the list a host name resolves to,
// the dotted-text parser and the multicast test.
#include "groupsock/NetAddress.hh"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// The first and last routable group, host order. 224.0.0.0 to 224.0.0.255
// is the local-network control block, which is never joined or relayed.
constexpr unsigned FIRST_ROUTABLE_GROUP = 0xE0000100;  // 224.0.1.0
constexpr unsigned LAST_ROUTABLE_GROUP = 0xEFFFFFFF;   // 239.255.255.255

constexpr unsigned IPV4_ADDRESS_LENGTH = 4;

}  // namespace

// An address of length bytes copied from data.
NetAddress::NetAddress(unsigned char const* data, unsigned length) { assign(data, length); }

// An address of length zero bytes.
NetAddress::NetAddress(unsigned length) {
  assign(nullptr, length);
  if (data_ != nullptr) std::memset(data_, 0, length_);
}

// A deep copy.
NetAddress::NetAddress(NetAddress const& orig) { assign(orig.data(), orig.length()); }

// Replaces the bytes with a copy of rightSide's; self-assignment changes nothing.
NetAddress& NetAddress::operator=(NetAddress const& rightSide) {
  if (&rightSide != this) {
    clean();
    assign(rightSide.data(), rightSide.length());
  }
  return *this;
}

NetAddress::~NetAddress() { clean(); }

// Takes a fresh array of length bytes, filled from data when it is given.
// The object must hold no array (constructors, or after clean()).
void NetAddress::assign(unsigned char const* data, unsigned length) {
  data_ = length == 0 ? nullptr : new unsigned char[length];
  length_ = length;
  if (data_ != nullptr && data != nullptr) std::memcpy(data_, data, length);
}

// Releases the bytes; the address becomes empty.
void NetAddress::clean() {
  delete[] data_;
  data_ = nullptr;
  length_ = 0;
}

// Dotted text gives its one address with no lookup. Anything else, the text
// 255.255.255.255 included (it is the parser's failure value), goes to the
// resolver, IPv4 only; the list stays empty when that fails, and no message
// is set: callers report the failure in their own words.
NetAddressList::NetAddressList(char const* hostname) : numAddresses_(0), addresses(nullptr) {
  if (hostname == nullptr) return;

  unsigned address = our_inet_addr(hostname);
  if (address != NO_SOURCE_FILTER) {
    numAddresses_ = 1;
    addresses = new NetAddress*[1];
    addresses[0] =
        new NetAddress(reinterpret_cast<unsigned char const*>(&address), IPV4_ADDRESS_LENGTH);
    return;
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(hostname, nullptr, &hints, &result) != 0 || result == nullptr) return;

  // An entry too short to hold a whole sockaddr_in is skipped rather than
  // read past its end.
  auto usable = [](addrinfo const* p) {
    return p->ai_family == AF_INET && p->ai_addr != nullptr && p->ai_addrlen >= sizeof(sockaddr_in);
  };
  unsigned count = 0;
  for (addrinfo const* p = result; p != nullptr; p = p->ai_next) {
    if (usable(p)) ++count;
  }
  if (count > 0) {
    addresses = new NetAddress*[count];
    for (addrinfo const* p = result; p != nullptr; p = p->ai_next) {
      if (!usable(p)) continue;
      sockaddr_in sin;
      std::memcpy(&sin, p->ai_addr, sizeof sin);
      addresses[numAddresses_++] = new NetAddress(
          reinterpret_cast<unsigned char const*>(&sin.sin_addr.s_addr), IPV4_ADDRESS_LENGTH);
    }
  }
  freeaddrinfo(result);
}

// A deep copy.
NetAddressList::NetAddressList(NetAddressList const& orig) : numAddresses_(0), addresses(nullptr) {
  assign(orig.numAddresses_, orig.addresses);
}

// Replaces the entries with copies of rightSide's; self-assignment changes nothing.
NetAddressList& NetAddressList::operator=(NetAddressList const& rightSide) {
  if (&rightSide != this) {
    clean();
    assign(rightSide.numAddresses_, rightSide.addresses);
  }
  return *this;
}

NetAddressList::~NetAddressList() { clean(); }

// The first entry in resolver order, or nullptr for an empty list.
NetAddress const* NetAddressList::firstAddress() const {
  return numAddresses_ == 0 ? nullptr : addresses[0];
}

// Copies each of the given addresses into a new array. The list must hold
// no entries (constructors, or after clean()).
void NetAddressList::assign(unsigned numAddresses, NetAddress** sourceAddresses) {
  addresses = numAddresses == 0 ? nullptr : new NetAddress*[numAddresses];
  for (unsigned i = 0; i < numAddresses; ++i) addresses[i] = new NetAddress(*sourceAddresses[i]);
  numAddresses_ = numAddresses;
}

// Destroys the entries, last first, and the array; the list becomes empty.
void NetAddressList::clean() {
  while (numAddresses_ > 0) delete addresses[--numAddresses_];
  delete[] addresses;
  addresses = nullptr;
}

// Starts at the first entry.
NetAddressList::Iterator::Iterator(NetAddressList const& list) : addressList(list), nextIndex(0) {}

// The next entry, or nullptr once all have been returned.
NetAddress const* NetAddressList::Iterator::nextAddress() {
  if (nextIndex >= addressList.numAddresses()) return nullptr;
  return addressList.addresses[nextIndex++];
}

// The platform's parse of dotted IPv4 text; all ones for anything else,
// a null text included.
unsigned our_inet_addr(char const* text) {
  if (text == nullptr) return NO_SOURCE_FILTER;
  return inet_addr(text);
}

std::optional<unsigned> parseIPv4Address(char const* text) {
  unsigned const address = our_inet_addr(text);
  if (address == NO_SOURCE_FILTER) return std::nullopt;
  return address;
}

// True when address (network order) is a routable group.
bool IsMulticastAddress(unsigned address) {
  unsigned hostOrder = ntohl(address);
  return hostOrder >= FIRST_ROUTABLE_GROUP && hostOrder <= LAST_ROUTABLE_GROUP;
}

unsigned ipv4Address(NetAddress const& address) {
  unsigned result = 0;
  std::memcpy(&result, address.data(), std::min<unsigned>(address.length(), sizeof result));
  return result;
}

bool firstIPv4Address(NetAddressList const& addresses, unsigned& address) {
  NetAddress const* first = addresses.firstAddress();
  if (first == nullptr) return false;
  address = ipv4Address(*first);
  return true;
}
