// IPv4 network addresses as counted byte strings, and the list of addresses
// a host name or dotted text resolves to. Every 32-bit address in the system
// is in network byte order, as it stands in a sockaddr_in.
#ifndef VELDRA_GROUPSOCK_NETADDRESS_HH
#define VELDRA_GROUPSOCK_NETADDRESS_HH

#include <optional>

class NetAddress {
 public:
  NetAddress(unsigned char const* data, unsigned length);
  explicit NetAddress(unsigned length = 4);  // all zero
  NetAddress(NetAddress const& orig);
  NetAddress& operator=(NetAddress const& rightSide);
  virtual ~NetAddress();

  unsigned length() const { return length_; }
  unsigned char const* data() const { return data_; }  // network order

 private:
  void assign(unsigned char const* data, unsigned length);
  void clean();

  unsigned length_;
  unsigned char* data_;
};

class NetAddressList {
 public:
  // Dotted text gives one address without any lookup; anything else is
  // resolved (IPv4 only). The list is empty when nothing resolves.
  explicit NetAddressList(char const* hostname);
  NetAddressList(NetAddressList const& orig);
  NetAddressList& operator=(NetAddressList const& rightSide);
  virtual ~NetAddressList();

  unsigned numAddresses() const { return numAddresses_; }
  NetAddress const* firstAddress() const;

  class Iterator {
   public:
    explicit Iterator(NetAddressList const& addressList);
    NetAddress const* nextAddress();  // nullptr once all have been returned

   private:
    NetAddressList const& addressList;
    unsigned nextIndex;
  };

 private:
  void assign(unsigned numAddresses, NetAddress** addresses);
  void clean();

  unsigned numAddresses_;
  NetAddress** addresses;
};

// The four bytes of an IPv4 address as one 32-bit address, network order
// (missing bytes read as 0).
unsigned ipv4Address(NetAddress const& address);
// The first address of the list, as ipv4Address gives it; false when the
// list is empty.
bool firstIPv4Address(NetAddressList const& addresses, unsigned& address);

// The network-order address of dotted IPv4 text, or all ones when the text
// is not one. Every parse of dotted text goes through here.
unsigned our_inet_addr(char const* text);
// The same as a separate result: the address, or nothing when the text is
// not dotted IPv4. 255.255.255.255 gives nothing as well, since the parse
// cannot tell it from a failure; it is also NO_SOURCE_FILTER, never an
// address a command may name.
std::optional<unsigned> parseIPv4Address(char const* text);

// True for a routable group: 224.0.1.0 to 239.255.255.255 (network order
// argument). The local-network control block 224.0.0.x is not one.
bool IsMulticastAddress(unsigned address);

// The all-ones address: no source filter, and the dotted parser's failure value.
constexpr unsigned NO_SOURCE_FILTER = 0xFFFFFFFFu;

#endif
