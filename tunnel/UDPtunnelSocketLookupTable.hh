// The open tunnel sockets, by local port, so that every tunnel on one port
// shares one socket. The table owns none of them: the last tunnel that
// releases a socket removes and deletes it.
#ifndef VELDRA_TUNNEL_UDPTUNNELSOCKETLOOKUPTABLE_HH
#define VELDRA_TUNNEL_UDPTUNNELSOCKETLOOKUPTABLE_HH

#include "groupsock/SocketLookupTable.hh"

class UDPtunnelSocket;

class UDPtunnelSocketLookupTable : public SocketLookupTable {
 public:
  UDPtunnelSocketLookupTable() = default;

  // The socket open on port (isNew false), or a new one stored under it
  // (isNew true), or nullptr when the port cannot be opened (the reason is
  // the environment's result message).
  UDPtunnelSocket* Fetch(UsageEnvironment& env, Port port, bool& isNew);
  // The socket open on port, or nullptr.
  UDPtunnelSocket* Lookup(Port port) const;

 protected:
  // A new tunnel socket, also when its descriptor is negative: Fetch deletes
  // that one.
  Socket* CreateNew(UsageEnvironment& env, Port port) override;
};

// Every open tunnel socket; lives as long as the process.
extern UDPtunnelSocketLookupTable OurTunnelSockets;

#endif
