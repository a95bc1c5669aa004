// The multicast socket: bound to a group's port and joined to the group
// (any source or one source), sending to its destination and relaying every
// datagram it reads or sends to its members, the tunnel trailer appended in
// place behind the payload.
#ifndef VELDRA_GROUPSOCK_GROUPSOCK_HH
#define VELDRA_GROUPSOCK_GROUPSOCK_HH

#include "groupsock/GroupEId.hh"
#include "groupsock/NetInterfaceTrafficStats.hh"
#include "groupsock/OutputSocket.hh"

// One destination of a groupsock, head of an owned chain.
class destRecord {
 public:
  destRecord(in_addr const& addr, Port const& port, unsigned char ttl, destRecord* next);
  virtual ~destRecord();  // destroys the rest of the chain too

  destRecord* next;
  GroupEId groupEId;
  Port port;
};

class Groupsock : public OutputSocket {
 public:
  // Any-source group.
  Groupsock(UsageEnvironment& env, in_addr const& groupAddress, Port port, unsigned char ttl);
  // Source-specific group; time-to-live 255.
  Groupsock(UsageEnvironment& env, in_addr const& groupAddress, in_addr const& sourceFilterAddress,
            Port port);
  // Leaves the group and closes the socket. The owner removes the groupsock
  // from OurGroupsocks and turns its background reading off first.
  ~Groupsock() override;

  // Deletes the groupsock now, or, when it is inside its own relay loop (a
  // member tearing itself down from there), as soon as the loop is over.
  void deleteWhenSafe();

  // Reads at most bufferMaxSize - 16 bytes, counts the datagram and relays
  // it to the members, unless it is our own, looped back.
  bool handleRead(unsigned char* buffer, unsigned bufferMaxSize, unsigned& bytesRead,
                  sockaddr_in& fromAddress) override;
  // Read by the event loop in batches, each datagram with 16 bytes of room
  // behind it, and acted on as by handleRead.
  unsigned batchReadSize() const override;
  bool handleDatagram(unsigned char* buffer, unsigned bufferMaxSize, unsigned size,
                      sockaddr_in& fromAddress) override;
  // "Groupsock read failed: " in front of the message (from DebugLevel 0),
  // and false: a failed read becomes a background error.
  bool handleReadFailure() override;

  // Sends one datagram to every destination and relays it to every member
  // except interfaceNotToFwdBackTo. buffer must have 16 writable bytes
  // behind bufferSize: the relay trailer is written there. A datagram that
  // came from a member (interfaceNotToFwdBackTo set) goes to the other
  // members as memberRelayTTL says; the destinations get ttlToSend.
  virtual bool output(UsageEnvironment& env, unsigned char ttlToSend, unsigned char* buffer,
                      unsigned bufferSize, DirectedNetInterface* interfaceNotToFwdBackTo = nullptr);

  // The relay: the number of members written to, or -1 on error (and then
  // also when this groupsock was deleted meanwhile; touch nothing of it).
  int outputToAllMembersExcept(DirectedNetInterface* exceptInterface, unsigned char ttlToFwd,
                               unsigned char* data, unsigned size, unsigned sourceAddr);

  bool wasLoopedBackFromUs(UsageEnvironment& env, sockaddr_in& fromAddress);

  void addDestination(in_addr const& addr, Port const& port);
  void removeDestination(in_addr const& addr, Port const& port);
  void removeAllDestinations();
  // Moves the first destination (port 0 and TTL -1 keep the current ones).
  void changeDestinationParameters(in_addr const& newDestAddr, Port newDestPort, int newDestTTL);
  void multicastSendOnly();  // no effect

  GroupEId const& groupEId() const { return groupEId_; }
  in_addr const& groupAddress() const { return groupEId_.groupAddress(); }
  in_addr const& sourceFilterAddress() const { return groupEId_.sourceFilterAddress(); }
  bool isSSM() const { return groupEId_.isSSM(); }
  unsigned char ttl() const { return ttl_; }
  destRecord const* destinations() const { return destinations_; }

  DirectedNetInterfaceSet& members() { return members_; }

  bool tunnelOwned() const { return tunnelOwned_; }
  void setTunnelOwned(bool owned) { tunnelOwned_ = owned; }
  bool membersAreTransient() const { return membersAreTransient_; }
  void setMembersAreTransient(bool transient) { membersAreTransient_ = transient; }

  NetInterfaceTrafficStats& incomingStats() { return incomingStats_; }
  NetInterfaceTrafficStats& outgoingStats() { return outgoingStats_; }
  NetInterfaceTrafficStats& relayedIncomingStats() { return relayedIncomingStats_; }
  NetInterfaceTrafficStats& relayedOutgoingStats() { return relayedOutgoingStats_; }

  // The time-to-live with which a datagram that arrived from one member (a
  // tunnel) with ttl is relayed to the other members: one less, so that a
  // cycle of tunnels cannot carry a datagram round for ever; 0 (not
  // relayed) when that reaches 0, or always under split horizon.
  static unsigned char memberRelayTTL(unsigned char ttl);

  // Split horizon: when true, nothing that arrived from a member is relayed
  // to the other members. For sites joined as a full mesh, where every site
  // already hears every other directly. False at start (sites as a tree,
  // whose hub relays between its tunnels).
  static bool splitHorizon;

  // Process-wide traffic of all groupsocks (payload bytes, no trailer).
  static NetInterfaceTrafficStats statsIncoming;
  static NetInterfaceTrafficStats statsOutgoing;
  static NetInterfaceTrafficStats statsRelayedIncoming;
  static NetInterfaceTrafficStats statsRelayedOutgoing;

 private:
  bool fromOurSource(sockaddr_in const& fromAddress) const;
  bool relayReceived(unsigned char* buffer, unsigned size, sockaddr_in& fromAddress, bool ours);
  void keepOwnDatagramsOut();
  void letOwnDatagramsIn();

  // The kernel filter that keeps our own looped-back datagrams from the
  // background reader (see keepOwnDatagramsOut).
  bool ownFilterAttached_ = false;
  bool ownFilterRefused_ = false;
  unsigned ownSinceFilter_ = 0;  // own datagrams read since it was attached

  bool tunnelOwned_ = false;
  bool membersAreTransient_ = false;
  NetInterfaceTrafficStats incomingStats_;
  NetInterfaceTrafficStats outgoingStats_;
  NetInterfaceTrafficStats relayedIncomingStats_;
  NetInterfaceTrafficStats relayedOutgoingStats_;
  GroupEId groupEId_;
  destRecord* destinations_ = nullptr;
  unsigned char ttl_;
  DirectedNetInterfaceSet members_;
  unsigned relayDepth_ = 0;       // > 0 while outputToAllMembersExcept runs
  bool deletionPending_ = false;  // deleteWhenSafe() was called inside the relay
};

// The trace prefix, e.g. "14:03:09 Groupsock(5: 224.2.127.254, 9875, 127)".
UsageEnvironment& operator<<(UsageEnvironment& env, Groupsock const& groupsock);

#endif
