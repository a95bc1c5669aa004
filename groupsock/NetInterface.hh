// The roots of every network endpoint: NetInterface, and DirectedNetInterface,
// a member to which a groupsock relays what it reads or sends (a tunnel).
#ifndef VELDRA_GROUPSOCK_NETINTERFACE_HH
#define VELDRA_GROUPSOCK_NETINTERFACE_HH

#include "runtime/TypedHashTable.hh"

class UsageEnvironment;

class NetInterface {
 public:
  virtual ~NetInterface();

  // When set, every socket and tunnel reports through this environment
  // instead of the one it was given. Nothing in the gateway sets it.
  static UsageEnvironment* DefaultUsageEnvironment;

 protected:
  NetInterface() = default;
};

class DirectedNetInterface : public NetInterface {
 public:
  ~DirectedNetInterface() override;

  // Hands the member one datagram: the payload followed by the relay
  // trailer, numBytes counting both.
  virtual bool write(unsigned char* data, unsigned numBytes) = 0;

  // Whether a datagram sent by addr (network order) may be handed to this
  // member. False with an empty result message skips the member; false with
  // a message stops the relaying as an error (the member may then have
  // deleted itself).
  virtual bool SourceAddrOKForRelaying(UsageEnvironment& env, unsigned addr) = 0;

 protected:
  DirectedNetInterface() = default;
};

// The members of a groupsock, each stored under its own address; owns none
// of them. Adding a member twice changes nothing (Add returns nullptr), and
// the member a walk has just returned may be removed before next().
class DirectedNetInterfaceSet : public TypedHashTable<DirectedNetInterface, WordKey> {
 public:
  int numMembers() const { return static_cast<int>(numEntries()); }
  // Keyed by the member's address as a DirectedNetInterface, whatever
  // pointer the caller holds.
  bool Remove(DirectedNetInterface const* interf) { return TypedHashTable::Remove(interf); }
};

#endif
