// Every live tunnel of the process, by its peer's address and port: how the
// receive path recognises a sender and the script commands find a tunnel by
// name. The table owns none of the tunnels.
#ifndef VELDRA_TUNNEL_UDPTUNNELLOOKUPTABLE_HH
#define VELDRA_TUNNEL_UDPTUNNELLOOKUPTABLE_HH

#include "groupsock/Port.hh"
#include "runtime/TypedHashTable.hh"

class UDPtunnel;

// The remote address and the network-order port, zero-extended, laid out so
// that entries made from a tunnel's fields and lookups made from a
// datagram's sender meet.
struct TunnelKey : WordsKey<2> {
  TunnelKey(unsigned address, Port port) : WordsKey<2>{{address, port.num()}} {}
  explicit TunnelKey(UDPtunnel const* tunnel);
};

// Add(tunnel) enters the tunnel under its remote endpoint and returns the
// one stored there before, or nullptr; Remove(tunnel) removes whatever is
// stored there; Lookup(address, port) finds the tunnel to that peer.
using UDPtunnelLookupTable = TypedHashTable<UDPtunnel, TunnelKey>;

// Every tunnel created successfully and not yet destroyed; entered by its
// creator (a script command or the receive path) and removed just before
// the tunnel is deleted. Lives as long as the process.
extern UDPtunnelLookupTable OurTunnels;

#endif
