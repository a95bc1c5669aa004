// The table of tunnels by remote endpoint, and OurTunnels.
#include "tunnel/UDPtunnelLookupTable.hh"

#include <cstdint>

#include "tunnel/UDPtunnel.hh"

UDPtunnelLookupTable OurTunnels;

namespace {

// The table key: the remote address and the network-order port, zero-extended,
// laid out so that entries made from a tunnel's fields and lookups made from
// a datagram's sender meet.
struct TunnelKey {
  TunnelKey(unsigned address, Port port) : words{address, port.num()} {}
  char const* bytes() const { return reinterpret_cast<char const*>(words); }
  uint32_t words[2];
};

}  // namespace

UDPtunnelLookupTable::UDPtunnelLookupTable() : table(HashTable::create(2)) {}

UDPtunnelLookupTable::~UDPtunnelLookupTable() { delete table; }

UDPtunnel* UDPtunnelLookupTable::Add(UDPtunnel const* tunnel) {
  TunnelKey key(tunnel->remoteAddress(), tunnel->remotePort());
  return static_cast<UDPtunnel*>(table->Add(key.bytes(), const_cast<UDPtunnel*>(tunnel)));
}

bool UDPtunnelLookupTable::Remove(UDPtunnel const* tunnel) {
  TunnelKey key(tunnel->remoteAddress(), tunnel->remotePort());
  return table->Remove(key.bytes());
}

UDPtunnel* UDPtunnelLookupTable::Lookup(unsigned address, Port port) const {
  TunnelKey key(address, port);
  return static_cast<UDPtunnel*>(table->Lookup(key.bytes()));
}

UDPtunnelLookupTable::Iterator::Iterator(UDPtunnelLookupTable& tunnels)
    : iter(HashTable::Iterator::create(*tunnels.table)) {}

UDPtunnelLookupTable::Iterator::~Iterator() { delete iter; }

UDPtunnel* UDPtunnelLookupTable::Iterator::next() {
  char const* key;
  return static_cast<UDPtunnel*>(iter->next(key));
}
