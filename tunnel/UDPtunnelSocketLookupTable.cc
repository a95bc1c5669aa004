// The table of tunnel sockets by local port, and OurTunnelSockets.
#include "tunnel/UDPtunnelSocketLookupTable.hh"

#include "tunnel/UDPtunnelSocket.hh"

UDPtunnelSocketLookupTable OurTunnelSockets;

// Every socket in this table was made by CreateNew below, so the cast holds.
UDPtunnelSocket* UDPtunnelSocketLookupTable::Fetch(UsageEnvironment& env, Port port, bool& isNew) {
  return static_cast<UDPtunnelSocket*>(SocketLookupTable::Fetch(env, port, isNew));
}

Socket* UDPtunnelSocketLookupTable::CreateNew(UsageEnvironment& env, Port port) {
  return new UDPtunnelSocket(env, port);
}

UDPtunnelSocket* UDPtunnelSocketLookupTable::Lookup(Port port) const {
  return static_cast<UDPtunnelSocket*>(SocketLookupTable::Lookup(port));
}
