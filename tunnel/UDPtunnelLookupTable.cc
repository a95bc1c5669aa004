// The table of tunnels by remote endpoint, and OurTunnels.
#include "tunnel/UDPtunnelLookupTable.hh"

#include "tunnel/UDPtunnel.hh"

UDPtunnelLookupTable OurTunnels;

TunnelKey::TunnelKey(UDPtunnel const* tunnel)
    : TunnelKey(tunnel->remoteAddress(), tunnel->remotePort()) {}
