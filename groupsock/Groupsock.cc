// The multicast socket: joins its group, sends to its destination, and
// relays what it reads or sends to its members with the tunnel trailer.
#include "groupsock/Groupsock.hh"

#include <cstring>

#include "groupsock/AddressString.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"
#include "tunnel/TunnelEncapsulation.hh"

NetInterfaceTrafficStats Groupsock::statsIncoming;
NetInterfaceTrafficStats Groupsock::statsOutgoing;
NetInterfaceTrafficStats Groupsock::statsRelayedIncoming;
NetInterfaceTrafficStats Groupsock::statsRelayedOutgoing;
bool Groupsock::splitHorizon = false;

namespace {

// Room that handleRead leaves behind a datagram for the relay trailer.
constexpr unsigned TRAILER_ROOM = SSM_TRAILER_SIZE;

// The receive buffer a groupsock asks for: at 100k datagrams/s it holds
// several milliseconds of a group's traffic while the gateway waits for a
// busy machine's CPU. Memory is taken only for what is queued.
constexpr unsigned GROUPSOCK_RECEIVE_BUFFER = 4 << 20;

// Whether the environment holds a result message. A member that refuses a
// datagram with one has failed; without one it has merely declined.
bool haveResultMsg(UsageEnvironment& env) {
  char const* msg = env.getResultMsg();
  return msg != nullptr && msg[0] != '\0';
}

// Writes the relay trailer of groupsock at `at`, which may be any byte of
// the buffer, and returns its length: 16 bytes (source filter first) for a
// source-specific group, else 12. The trailer names the first destination,
// the forwarding time-to-live and DATA or SSM_DATA; the member fills in the
// cookies.
unsigned writeRelayTrailer(Groupsock const& groupsock, unsigned char ttlToFwd, unsigned char* at) {
  destRecord const* dest = groupsock.destinations();
  uint32_t const address =
      dest != nullptr ? dest->groupEId.groupAddress().s_addr : groupsock.groupAddress().s_addr;
  uint16_t const port = dest != nullptr ? dest->port.num() : groupsock.port().num();
  return writeTunnelTrailer(at, groupsock.isSSM() ? SSM_DATA : DATA, address, port, ttlToFwd,
                            groupsock.sourceFilterAddress().s_addr);
}

}  // namespace

// A destination record with its own time-to-live, in front of next.
destRecord::destRecord(in_addr const& addr, Port const& destPort, unsigned char ttl,
                       destRecord* nextRecord)
    : next(nextRecord), groupEId(addr, destPort.num(), Scope(ttl)), port(destPort) {}

destRecord::~destRecord() { delete next; }

// An any-source groupsock: a socket on port, joined to groupAddress, with
// the group itself as destination. A failed set-up or join is traced and
// otherwise ignored; the caller tests socketNum(). Without a socket there
// is nothing to join, and the set-up message stays in the environment for
// the caller. The first groupsock of the process also runs the own-address
// discovery, which loop-back recognition needs.
Groupsock::Groupsock(UsageEnvironment& env, in_addr const& groupAddress, Port port,
                     unsigned char ttl)
    : OutputSocket(env, port), groupEId_(groupAddress, port.num(), Scope(ttl)), ttl_(ttl) {
  UsageEnvironment& ourEnv = this->env();
  addDestination(groupAddress, port);
  if (socketNum() >= 0) raiseReceiveBuffer(socketNum(), GROUPSOCK_RECEIVE_BUFFER);
  bool const joined = socketNum() >= 0 && socketJoinGroup(ourEnv, socketNum(), groupAddress.s_addr);
  if (!joined && DebugLevel >= 1) {
    ourEnv << *this << ": failed to join group: " << ourEnv.getResultMsg() << "\n";
  }
  if (ourIPAddress(ourEnv) == 0 && DebugLevel >= 0) {
    ourEnv << "Unable to determine our source address: " << ourEnv.getResultMsg() << "\n";
  }
  if (DebugLevel >= 2) ourEnv << *this << ": created\n";
}

// A source-specific groupsock (time-to-live 255). Falls back to a plain
// join where the system refuses the source-specific one; failures are
// handled as for an any-source groupsock.
Groupsock::Groupsock(UsageEnvironment& env, in_addr const& groupAddress,
                     in_addr const& sourceFilterAddress, Port port)
    : OutputSocket(env, port), groupEId_(groupAddress, sourceFilterAddress, port.num()), ttl_(255) {
  UsageEnvironment& ourEnv = this->env();
  addDestination(groupAddress, port);
  if (socketNum() >= 0) raiseReceiveBuffer(socketNum(), GROUPSOCK_RECEIVE_BUFFER);
  if (socketNum() < 0) {
    if (DebugLevel >= 1) {
      ourEnv << *this << ": failed to join group: " << ourEnv.getResultMsg() << "\n";
    }
  } else if (!socketJoinGroupSSM(ourEnv, socketNum(), groupAddress.s_addr,
                                 sourceFilterAddress.s_addr)) {
    if (DebugLevel >= 3) {
      ourEnv << *this << ": SSM join failed: " << ourEnv.getResultMsg()
             << " - trying regular join instead\n";
    }
    if (!socketJoinGroup(ourEnv, socketNum(), groupAddress.s_addr) && DebugLevel >= 1) {
      ourEnv << *this << ": failed to join group: " << ourEnv.getResultMsg() << "\n";
    }
  }
  if (DebugLevel >= 2) ourEnv << *this << ": created\n";
}

// Leaves the group; the socket is closed by the base. The members are
// neither told nor deleted.
Groupsock::~Groupsock() {
  unsigned const group = groupAddress().s_addr;
  if (isSSM()) {
    if (!socketLeaveGroupSSM(env(), socketNum(), group, sourceFilterAddress().s_addr)) {
      socketLeaveGroup(env(), socketNum(), group);
    }
  } else {
    socketLeaveGroup(env(), socketNum(), group);
  }
  removeAllDestinations();
  if (DebugLevel >= 2) env() << *this << ": deleting\n";
}

// Everything that deletes a groupsock comes through here. A member may
// tear itself down from inside the relay loop and ask for the deletion of
// the very groupsock that is relaying; the loop then still holds the member
// set and this object, so the deletion waits until the outermost relay is
// over (see outputToAllMembersExcept).
void Groupsock::deleteWhenSafe() {
  if (relayDepth_ > 0) {
    deletionPending_ = true;
    return;
  }
  delete this;
}

// Reads one datagram into buffer, leaving 16 bytes behind it for the relay
// trailer, and acts on it as handleDatagram does.
//
// bytesRead is the payload's length: 0 when nothing was waiting or when a
// source-specific group drops a datagram from another sender. Returns false
// (with "Groupsock read failed: " in front of the message) when the read
// fails.
bool Groupsock::handleRead(unsigned char* buffer, unsigned bufferMaxSize, unsigned& bytesRead,
                           sockaddr_in& fromAddress) {
  letOwnDatagramsIn();  // a reader of its own, which gets them
  bytesRead = 0;
  unsigned const maxBytesToRead = bufferMaxSize > TRAILER_ROOM ? bufferMaxSize - TRAILER_ROOM : 0;

  // recvfrom names the sender only when a datagram was taken, which tells
  // an empty datagram from a failure and a datagram from nothing waiting.
  std::memset(&fromAddress, 0, sizeof fromAddress);
  int numBytes = readSocket(env(), socketNum(), buffer, maxBytesToRead, fromAddress);
  bool const received = numBytes > 0 || fromAddress.sin_family == AF_INET;
  if (numBytes < 0 && !received) return handleReadFailure();
  if (!received) return true;      // nothing was waiting: nothing to count or relay
  if (numBytes < 0) numBytes = 0;  // an empty datagram

  if (!fromOurSource(fromAddress)) return true;
  bytesRead = static_cast<unsigned>(numBytes);
  return relayReceived(buffer, bytesRead, fromAddress, wasLoopedBackFromUs(env(), fromAddress));
}

unsigned Groupsock::batchReadSize() const { return IO_BUFFER_SIZE - TRAILER_ROOM; }

bool Groupsock::handleDatagram(unsigned char* buffer, unsigned, unsigned size,
                               sockaddr_in& fromAddress) {
  if (!fromOurSource(fromAddress)) return true;
  bool const ours = wasLoopedBackFromUs(env(), fromAddress);
  if (ours) keepOwnDatagramsOut();
  return relayReceived(buffer, size, fromAddress, ours);
}

bool Groupsock::handleReadFailure() {
  UsageEnvironment& ourEnv = env();
  if (DebugLevel >= 0) ourEnv.setResultMsg("Groupsock read failed: ", ourEnv.getResultMsg());
  return false;
}

// A source-specific group takes datagrams from its source alone.
bool Groupsock::fromOurSource(sockaddr_in const& fromAddress) const {
  return !isSSM() || fromAddress.sin_addr.s_addr == sourceFilterAddress().s_addr;
}

// Our own datagram, sent to our group and looped back, has reached the
// background reader, which only drops it: have the kernel drop the next
// ones before they are read, with a filter on our address and source port,
// so that each costs no system call and no copy here. Other sockets of
// this host joined to the group still get them. Datagrams queued before
// the filter was attached still come, a batch or so; many more mean that
// somebody removed it (a script reading the channel): it is attached
// again. Not at DebugLevel 3, where every datagram read is traced, and not
// again after the system refused it once.
void Groupsock::keepOwnDatagramsOut() {
  if (ownFilterRefused_ || DebugLevel >= 3) return;
  if (ownFilterAttached_ && ++ownSinceFilter_ <= MAX_DATAGRAMS_PER_EVENT) return;
  ownFilterAttached_ = attachOwnDatagramFilter(socketNum(), ourIPAddress(env()), sourcePort());
  ownFilterRefused_ = !ownFilterAttached_;
  ownSinceFilter_ = 0;
}

// Lets our own looped-back datagrams reach the socket again, for a reader
// that is to see them (handleRead, a trace at DebugLevel 3).
void Groupsock::letOwnDatagramsIn() {
  if (!ownFilterAttached_) return;
  detachSocketFilter(socketNum());
  ownFilterAttached_ = false;
}

// Counts a datagram read from the group and relays it to the members, with
// the trailer appended behind the payload, unless it is ours: our own
// datagram looped back (wasLoopedBackFromUs). Always true: a relay that fails, or that ends with
// the groupsock deleted by a member, returns at once without touching the groupsock again; the
// member's message, if any, is then reported as a background error here, since the caller must not
// report through a deleted object.
bool Groupsock::relayReceived(unsigned char* buffer, unsigned size, sockaddr_in& fromAddress,
                              bool ours) {
  UsageEnvironment& ourEnv = env();  // outlives this groupsock
  int relayed = 0;
  if (!ours) {
    statsIncoming.countPacket(size);
    incomingStats_.countPacket(size);
    relayed = outputToAllMembersExcept(nullptr, ttl_, buffer, size, fromAddress.sin_addr.s_addr);
    if (relayed < 0) {
      if (haveResultMsg(ourEnv)) ourEnv.reportBackgroundError();
      return true;
    }
    if (relayed > 0) {
      statsRelayedIncoming.countPacket(size);
      relayedIncomingStats_.countPacket(size);
    }
  }

  if (DebugLevel >= 3) {
    ourEnv << *this << ": read " << size << " bytes from " << AddressString(fromAddress).val();
    if (relayed > 0) ourEnv << "; relayed to " << relayed << " members";
    ourEnv << "\n";
  }
  return true;
}

// Sends one datagram to every destination with ttlToSend, counts it, and
// relays it to every member except interfaceNotToFwdBackTo. The relay
// trailer is written into the 16 bytes behind bufferSize.
//
// False, with "Groupsock write failed: " in front of the message, when a
// send fails (nothing is counted then) or when the relay fails (the
// datagram has been sent and counted). A failed relay may also have deleted
// the groupsock: nothing of it is touched afterwards.
bool Groupsock::output(UsageEnvironment& env, unsigned char ttlToSend, unsigned char* buffer,
                       unsigned bufferSize, DirectedNetInterface* interfaceNotToFwdBackTo) {
  if (DebugLevel >= 3) letOwnDatagramsIn();  // to be traced when read back
  bool sent = true;
  for (destRecord* dest = destinations_; dest != nullptr; dest = dest->next) {
    if (!write(dest->groupEId.groupAddress().s_addr, dest->port, ttlToSend, buffer, bufferSize)) {
      sent = false;
      break;
    }
  }

  int relayed = 0;
  if (sent) {
    statsOutgoing.countPacket(bufferSize);
    outgoingStats_.countPacket(bufferSize);
    unsigned char const ttlToFwd =
        interfaceNotToFwdBackTo == nullptr ? ttlToSend : memberRelayTTL(ttlToSend);
    if (!members_.IsEmpty() && ttlToFwd != 0) {
      relayed = outputToAllMembersExcept(interfaceNotToFwdBackTo, ttlToFwd, buffer, bufferSize,
                                         ourIPAddress(env));
    }
  }
  if (!sent || relayed < 0) {
    if (DebugLevel >= 0) env.setResultMsg("Groupsock write failed: ", env.getResultMsg());
    return false;
  }

  if (DebugLevel >= 3) {
    env << *this << ": wrote " << bufferSize << " bytes, ttl " << static_cast<unsigned>(ttlToSend);
    if (relayed > 0) env << "; relayed to " << relayed << " members";
    env << "\n";
  }
  return true;
}

unsigned char Groupsock::memberRelayTTL(unsigned char ttl) {
  if (splitHorizon || ttl <= 1) return 0;
  return static_cast<unsigned char>(ttl - 1);
}

// The relay: hands the datagram of size bytes at data to every member
// except exceptInterface that accepts its source address sourceAddr, with
// the relay trailer appended once, behind the payload, before the first
// member gets it. Every member receives the same buffer.
//
// Results: the number of members written to (0 and the buffer untouched
// when ttlToFwd is 0 or nobody accepts), or -1 when a member refused with a
// result message, or when a member asked for this groupsock's deletion
// meanwhile; the groupsock is then gone and must not be touched.
//
// The result message is cleared before each member is asked, so that only
// a message the member sets itself counts: one left over from earlier work
// (a previous command's result, a member's failed send) would otherwise
// turn a mere refusal into an error and cut the remaining members off.
//
// A member that refuses may have torn itself down: removed itself from the
// member set (the iterator has already fetched the next member) and asked
// for this groupsock's deletion, which deleteWhenSafe() holds back until
// the outermost relay returns. Without a result message (its tracing is
// off) the loop goes on with the remaining members.
int Groupsock::outputToAllMembersExcept(DirectedNetInterface* exceptInterface,
                                        unsigned char ttlToFwd, unsigned char* data, unsigned size,
                                        unsigned sourceAddr) {
  if (ttlToFwd == 0) return 0;

  ++relayDepth_;
  int count = 0;
  {
    DirectedNetInterfaceSet::Iterator iter(members_);
    DirectedNetInterface* member;
    while ((member = iter.next()) != nullptr) {
      if (member == exceptInterface) continue;
      if (haveResultMsg(env())) env().setResultMsg("");
      if (!member->SourceAddrOKForRelaying(env(), sourceAddr)) {
        if (!haveResultMsg(env())) continue;  // declined
        count = -1;                           // failed; the member may be gone
        break;
      }
      if (count == 0) size += writeRelayTrailer(*this, ttlToFwd, data + size);
      member->write(data, size);
      ++count;
    }
  }
  --relayDepth_;

  if (relayDepth_ == 0 && deletionPending_) {
    delete this;
    return -1;
  }
  return count;
}

// Whether a datagram from fromAddress is one we sent ourselves: our own
// address and our source port. A groupsock that has sent nothing yet has
// no source port and so cannot see its own datagrams; the own-address
// discovery is then not even asked.
bool Groupsock::wasLoopedBackFromUs(UsageEnvironment& env, sockaddr_in& fromAddress) {
  if (sourcePort().num() == 0 || fromAddress.sin_port != sourcePort().num()) return false;
  return fromAddress.sin_addr.s_addr == ourIPAddress(env);
}

// Puts addr and port at the head of the destinations, unless already there.
void Groupsock::addDestination(in_addr const& addr, Port const& port) {
  for (destRecord* dest = destinations_; dest != nullptr; dest = dest->next) {
    if (dest->groupEId.groupAddress().s_addr == addr.s_addr && dest->port.num() == port.num()) {
      return;
    }
  }
  destinations_ = new destRecord(addr, port, ttl_, destinations_);
}

// Unlinks and destroys the first destination with addr and port, if any.
void Groupsock::removeDestination(in_addr const& addr, Port const& port) {
  for (destRecord** link = &destinations_; *link != nullptr; link = &(*link)->next) {
    destRecord* dest = *link;
    if (dest->groupEId.groupAddress().s_addr == addr.s_addr && dest->port.num() == port.num()) {
      *link = dest->next;
      dest->next = nullptr;  // destroy this record only
      delete dest;
      return;
    }
  }
}

void Groupsock::removeAllDestinations() {
  delete destinations_;
  destinations_ = nullptr;
}

// Moves the first destination. A non-zero newDestAddr replaces its address
// (a new multicast address is joined on this socket and the old one left);
// a non-zero newDestPort replaces its port (for a multicast destination the
// socket is rebound to that port and rejoined); newDestTTL -1 keeps the
// groupsock's time-to-live, any other value is taken modulo 256. The
// groupsock's own group, ttl() and port() stay, and so do its entries in
// the groupsock table. Nothing happens without a destination.
void Groupsock::changeDestinationParameters(in_addr const& newDestAddr, Port newDestPort,
                                            int newDestTTL) {
  destRecord* dest = destinations_;
  if (dest == nullptr) return;

  in_addr destAddr = dest->groupEId.groupAddress();
  if (newDestAddr.s_addr != 0) {
    if (newDestAddr.s_addr != destAddr.s_addr && IsMulticastAddress(newDestAddr.s_addr)) {
      socketLeaveGroup(env(), socketNum(), destAddr.s_addr);
      socketJoinGroup(env(), socketNum(), newDestAddr.s_addr);
    }
    destAddr = newDestAddr;
  }

  unsigned short destPortNum = dest->groupEId.portNum();
  if (newDestPort.num() != 0) {
    if (newDestPort.num() != destPortNum && IsMulticastAddress(destAddr.s_addr)) {
      changePort(newDestPort);
      ownFilterAttached_ = false;  // went with the old socket
      socketJoinGroup(env(), socketNum(), destAddr.s_addr);
    }
    destPortNum = newDestPort.num();
    dest->port = newDestPort;
  }

  unsigned char const destTTL =
      newDestTTL == -1 ? ttl_ : static_cast<unsigned char>(newDestTTL & 0xFF);
  dest->groupEId = GroupEId(destAddr, destPortNum, Scope(destTTL));
}

// Sending only needs no change here: the socket receives what it joined.
void Groupsock::multicastSendOnly() {}

// The trace prefix: clock text, " Groupsock(", descriptor, ": ", group,
// ", ", port, ", ", then the time-to-live or, for a source-specific group,
// "SSM source: " and the source, then ")".
UsageEnvironment& operator<<(UsageEnvironment& env, Groupsock const& groupsock) {
  env << timestampString() << " Groupsock(" << groupsock.socketNum() << ": "
      << AddressString(groupsock.groupAddress()).val() << ", " << groupsock.port() << ", ";
  if (groupsock.isSSM()) {
    env << "SSM source: " << AddressString(groupsock.sourceFilterAddress()).val();
  } else {
    env << static_cast<unsigned>(groupsock.ttl());
  }
  return env << ")";
}
