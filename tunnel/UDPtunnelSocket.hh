// The UDP socket that carries all tunnel traffic of one local port. Every
// tunnel on that port shares it and counts itself in referenceCount; the
// last tunnel to go removes it from OurTunnelSockets and deletes it, unless
// the socket opens tunnels for strangers: that one stays for the next.
// What remote senders may have of it is bounded by its guard. What
// is done with each datagram read is the receive path (TunnelReceivePath.cc).
#ifndef VELDRA_TUNNEL_UDPTUNNELSOCKET_HH
#define VELDRA_TUNNEL_UDPTUNNELSOCKET_HH

#include <chrono>

#include "groupsock/Socket.hh"
#include "tunnel/NetworkAllowList.hh"
#include "tunnel/TunnelEncapsulation.hh"
#include "tunnel/TunnelSocketGuard.hh"

class UDPtunnelSocket : public Socket {
 public:
  // Opens the socket on port with both kernel buffers raised to at least
  // 262144 bytes. A socket that could not be set up has a negative
  // descriptor (and the reason in the environment's result message).
  UDPtunnelSocket(UsageEnvironment& env, Port port);
  // Turns background reading off and closes the socket.
  ~UDPtunnelSocket() override;

  // Reads one datagram and runs the receive path on it. A read of nothing,
  // or a failed read, is not an error. False when the environment's result
  // message should become a background error; the socket may then have
  // been deleted.
  bool handleRead(unsigned char* buffer, unsigned bufferMaxSize, unsigned& bytesRead,
                  sockaddr_in& fromAddress) override;
  // Read by the event loop in batches of whole tunnel datagrams, each run
  // through the receive path (an empty one is nothing to do).
  unsigned batchReadSize() const override;
  bool handleDatagram(unsigned char* buffer, unsigned bufferMaxSize, unsigned size,
                      sockaddr_in& fromAddress) override;

  // The receive path for one datagram of packetSize bytes that lies in a
  // writable buffer (replies and relay trailers are built in place): drops
  // (and traces) one too short for its trailer; finds the tunnel by the
  // sender, answering a stranger's PROBE with PROBE_NACK, refusing other
  // strangers or opening a tunnel for them; drops one with a cookie the
  // tunnel does not accept, answering PROBE_ACK; then counts the peer's
  // activity and carries out the command. False only after a TEAR_DOWN
  // (message "tunnelTearDown <peer>fromRemote") or a dynamic tunnel that
  // could not be opened; after a false result nothing of this socket may be
  // touched, since a tear-down may have deleted it.
  bool handleRead1(unsigned char* packet, unsigned packetSize, sockaddr_in fromAddress);

  // Sends one tunnel datagram from this socket to a peer at address
  // (network order) and port; true when it went out whole, else false with
  // the message of writeSocket in the environment. Only a multicast peer
  // has its time-to-live set (0, as every tunnel datagram has it): for a
  // unicast peer, as a rule, it would be a system call per datagram for
  // nothing.
  bool sendToPeer(unsigned address, Port port, unsigned char* data, unsigned size);
  // Sends a 12-byte reply (PROBE_ACK, PROBE_NACK) the same way. A failed
  // send leaves its message in the environment and is otherwise ignored.
  void sendReply(TunnelEncapsulationTrailer& reply, unsigned address, Port port);

  // Number of tunnels using the socket.
  unsigned referenceCount() const { return referenceCount_; }
  void incrementReferenceCount() { ++referenceCount_; }
  // Lowers the count by one, never below 0; returns the new count.
  unsigned decrementReferenceCount();

  // Whether a datagram from a sender without a tunnel opens one.
  bool createsDynamicTunnels() const { return createsDynamicTunnels_; }
  void setCreatesDynamicTunnels(bool creates) { createsDynamicTunnels_ = creates; }

  // Opens tunnels only for strangers from these networks (a socket that
  // opens tunnels for strangers at all); or again for any stranger.
  void restrictStrangersTo(NetworkAllowList const& networks);
  void acceptAnyStranger();

  // Whether a datagram from a sender without a tunnel here is refused
  // outright, with no tunnel and no reply: the socket opens tunnels for
  // strangers but only from networks that do not hold address (network
  // order). Each refusal is counted; a trace line tells of them at most
  // once every few seconds, so that a flood cannot fill the log.
  bool refusesStranger(unsigned address);
  // Datagrams refused so, since the socket was opened.
  unsigned strangersRefused() const { return strangersRefused_; }

  // Has the event loop read the socket through socketReadHandler.
  void turnOnBackgroundReadHandling();

  // The bounds on what remote senders get from this socket, and the
  // counts of what they were refused.
  TunnelSocketGuard& guard() { return guard_; }

 private:
  unsigned referenceCount_ = 0;
  bool createsDynamicTunnels_ = false;
  bool strangersRestricted_ = false;
  NetworkAllowList allowedStrangers_;
  unsigned strangersRefused_ = 0;
  unsigned strangersRefusedAtTrace_ = 0;
  std::chrono::steady_clock::time_point nextRefusalTrace_;
  TunnelSocketGuard guard_{*this};
};

// The trace prefix: the clock text, " UDPtunnelSocket(", the local port, ")".
UsageEnvironment& operator<<(UsageEnvironment& env, UDPtunnelSocket const& sock);

#endif
