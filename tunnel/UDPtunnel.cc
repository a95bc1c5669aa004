// The tunnel: construction and destruction, the send path with its cookies,
// commands and their repetition, the membership protocol, probes, and the
// relaying check that tears a tunnel down.
#include "tunnel/UDPtunnel.hh"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "groupsock/AddressString.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"
#include "tunnel/DeferredOp.hh"
#include "tunnel/UDPtunnelLookupTable.hh"
#include "tunnel/UDPtunnelSocket.hh"
#include "tunnel/UDPtunnelSocketLookupTable.hh"

int UDPtunnel::DebugLevel = 1;
bool UDPtunnel::performCookieCheck = true;
unsigned UDPtunnel::writeCount_ = 0;

namespace {

// Every command datagram is built here and sent within the same call.
unsigned char sendBuffer[SSM_TRAILER_SIZE];

// A JOIN is repeated every 15 s for as long as 2^31 - 1 repetitions last;
// a LEAVE five times, one second apart.
constexpr unsigned JOIN_REPEAT_COUNT = 2147483647;
constexpr short JOIN_REPEAT_SECONDS = 15;
constexpr unsigned LEAVE_REPEAT_COUNT = 5;
constexpr unsigned char LEAVE_TTL = 255;

// A new cookie is drawn on every 64th write of the process.
constexpr unsigned COOKIE_REDRAW_PERIOD = 64;

// Fills buffer with bytes from the kernel's random source; /dev/urandom
// where getrandom is missing. False when neither gives them.
bool systemRandomBytes(void* buffer, size_t size) {
  ssize_t got;
  do got = getrandom(buffer, size, 0);
  while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(size)) return true;
  int const fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  got = read(fd, buffer, size);
  close(fd);
  return got == static_cast<ssize_t>(size);
}

// A cookie from the system's random source. Without one the gateway could
// only draw guessable cookies, which would leave the tunnels open to
// anyone: it stops instead.
uint16_t systemRandomCookie() {
  uint16_t cookie;
  if (!systemRandomBytes(&cookie, sizeof cookie)) {
    std::fputs("veldra: no random source for tunnel cookies (getrandom, /dev/urandom)\n", stderr);
    std::abort();
  }
  return cookie;
}

// Trace tail naming a group: ", port <p>" and, with a source filter,
// ", SSM source: <s>"; ends the line.
void traceGroupTail(UsageEnvironment& env, Port port, unsigned sourceFilterAddr) {
  env << ", port " << port;
  if (sourceFilterAddr != NO_SOURCE_FILTER) {
    env << ", SSM source: " << AddressString(sourceFilterAddr).val();
  }
  env << "\n";
}

// Whether a local join of this mode is announced to the peer (by JOIN or
// JOIN_RTP, and its end by LEAVE or LEAVE_RTP).
bool isAnnounced(JoinMode mode) { return mode == JoinMode::LOCAL || mode == JoinMode::LOCAL_RTP; }

// Whether a local join of the key is being announced: a JOIN or JOIN_RTP
// repetition is pending for it.
bool joinIsRepeating(DeferredOpLookupTable& ops, unsigned group, unsigned source, Port port) {
  auto* repeated = dynamic_cast<RepeatedCmd*>(ops.Lookup(group, source, port));
  return repeated != nullptr && (repeated->cmd() == JOIN || repeated->cmd() == JOIN_RTP);
}

// Cancels and deletes the lapse pending for the key, if there is one: the
// membership it was to end has ended.
void cancelLapse(DeferredOpLookupTable& ops, unsigned group, unsigned source, Port port) {
  auto* lapse = dynamic_cast<JoinGroupTimeout*>(ops.Lookup(group, source, port));
  if (lapse == nullptr) return;
  ops.Remove(lapse);
  processDelayQueue().removeEntry(lapse);
  delete lapse;
}

}  // namespace

uint16_t (*UDPtunnel::cookieSource)() = systemRandomCookie;

// Takes the socket of localPort and draws the first cookie. Stops short,
// with tunnelSocket() nullptr, when no socket can be had.
UDPtunnel::UDPtunnel(NetAddress const& remoteAddress, Port remotePort, Port localPort,
                     UDPtunnelSocketLookupTable& aSocketTable,
                     GroupsockLookupTable& aGroupsockTable, UsageEnvironment& env,
                     unsigned char masterOnly)
    : remotePort_(remotePort),
      localPort_(localPort),
      socketTable(&aSocketTable),
      groupsockTable(&aGroupsockTable),
      env_(NetInterface::DefaultUsageEnvironment != nullptr ? NetInterface::DefaultUsageEnvironment
                                                            : &env),
      masterOnly_(masterOnly != 0) {
  remoteAddress_ = ipv4Address(remoteAddress);

  bool isNew;
  tunnelSocket_ = socketTable->Fetch(*env_, localPort_, isNew);
  if (tunnelSocket_ == nullptr) return;
  // Registered again for every tunnel: a socket opened by a script command
  // may not be read yet.
  tunnelSocket_->env().getScheduler().setBackgroundHandling(
      tunnelSocket_->socketNum(), TaskScheduler::READABLE, socketReadHandler,
      static_cast<Socket*>(tunnelSocket_));
  tunnelSocket_->incrementReferenceCount();

  randomizeLocalCookie();
  if (DebugLevel >= 2) *env_ << *this << ": created\n";
}

UDPtunnel::~UDPtunnel() {
  if (tunnelSocket_ != nullptr) tunnelSocket_->guard().forget(*this);
  // A socket that opens tunnels for strangers stays for the next ones.
  if (tunnelSocket_ != nullptr && tunnelSocket_->decrementReferenceCount() == 0 &&
      !tunnelSocket_->createsDynamicTunnels()) {
    env_->getScheduler().setBackgroundHandling(tunnelSocket_->socketNum(), 0, nullptr, nullptr);
    socketTable->Remove(tunnelSocket_);
    delete tunnelSocket_;
  }
  tunnelSocket_ = nullptr;

  GroupsockLookupTable::Iterator groupsocks(*groupsockTable);
  while (Groupsock* groupsock = groupsocks.next()) {
    groupsock->members().Remove(this);
    if (groupsock->tunnelOwned() && groupsock->members().IsEmpty()) {
      groupsockTable->Discard(groupsock);  // the walk allows this
    }
  }

  // Cancelled here, a timer of a deleted tunnel never fires.
  DeferredOpLookupTable::Iterator ops(deferredOps_);
  while (DeferredOp* op = ops.next()) {
    processDelayQueue().removeEntry(op);
    delete op;
  }

  if (DebugLevel >= 2) *env_ << *this << ": deleting\n";
}

// Fills in the cookies behind the payload, in the caller's buffer (the
// groupsock's read buffer when relaying: no copy), and sends.
bool UDPtunnel::write(unsigned char* data, unsigned numBytes) {
  bool const ssm = numBytes > 0 && (data[numBytes - 1] & SSM_BIT) != 0;
  unsigned const trailerSize = ssm ? SSM_TRAILER_SIZE : TRAILER_SIZE;
  if (numBytes < trailerSize) {
    // A broken caller: sending would put cookies in front of the buffer.
    if (DebugLevel >= 0) {
      *env_ << "UDPtunnel::write(): " << numBytes << " bytes; expected at least " << trailerSize
            << "\n";
    }
    std::exit(1);
  }

  outgoingStats_.countPacket(numBytes);
  if (writeCount_++ % COOKIE_REDRAW_PERIOD == 0) randomizeLocalCookie();

  auto* trailer = reinterpret_cast<TunnelEncapsulationTrailer*>(data + numBytes - TRAILER_SIZE);
  setTrailerCookies(*trailer, localCookie_, remoteCookie_);

  if (DebugLevel >= 3) {
    *env_ << *this << ": sending " << numBytes << " total bytes of data to port " << remotePort_
          << "\n";
  }
  return tunnelSocket_->sendToPeer(remoteAddress_, remotePort_, data, numBytes);
}

bool UDPtunnel::SourceAddrOKForRelaying(UsageEnvironment& env, unsigned addr) {
  if (addr == remoteAddress_) {
    // Sent before the message is set, so that a failed send cannot replace
    // the news of the tear-down.
    sendCmdAcrossTunnel(TEAR_DOWN, 0, NO_SOURCE_FILTER, Port(0), 0);
    if (DebugLevel >= 0) {
      env.setResultMsg("tunnelTearDown ", AddressString(addr).val(), "mcastFromEndpoint");
    }
    if (OurTunnels.Lookup(remoteAddress_, remotePort_) == this) OurTunnels.Remove(this);
    // The asking groupsock is inside its relay loop: the destructor deletes
    // it, if it must go, only through deleteWhenSafe.
    delete this;
    return false;
  }
  if (!tunnelLocallyOnly_) return true;
  if (addr == ourIPAddress(env)) return true;
  if (DebugLevel >= 1) {
    *env_ << *this << ": ignoring received multicast packet from non-local source: "
          << AddressString(addr).val() << "\n";
  }
  return false;
}

bool UDPtunnel::joinGroup(unsigned groupAddress, unsigned sourceFilterAddr, Port port,
                          unsigned char ttl, JoinMode mode) {
  bool isNew = false;
  Groupsock* groupsock =
      groupsockTable->Fetch(*env_, groupAddress, sourceFilterAddr, port, ttl, isNew);
  if (groupsock == nullptr) return false;

  groupsock->members().Add(this);
  if (mode != JoinMode::PEER) {
    groupsock->setMembersAreTransient(false);
    if (isAnnounced(mode)) {
      rptSendCmdAcrossTunnel(JOIN_REPEAT_COUNT, JOIN_REPEAT_SECONDS * SECOND,
                             mode == JoinMode::LOCAL ? JOIN : JOIN_RTP, groupAddress,
                             sourceFilterAddr, port, ttl);
    }
  } else {
    if (isNew) {
      // Created for the peer: read in the background for it, and gone with
      // its last member.
      groupsock->setTunnelOwned(true);
      groupsock->setMembersAreTransient(true);
      env_->getScheduler().setBackgroundHandling(groupsock->socketNum(), TaskScheduler::READABLE,
                                                 socketReadHandler,
                                                 static_cast<Socket*>(groupsock));
    }
    if (groupsock->membersAreTransient()) {
      setJoinGroupTimeout(MINUTE, groupAddress, sourceFilterAddr, port);
    }
  }

  if (DebugLevel >= 2) {
    *env_ << *this << ": joined group " << AddressString(groupAddress).val();
    traceGroupTail(*env_, port, sourceFilterAddr);
  }
  return true;
}

void UDPtunnel::leaveGroup(unsigned groupAddress, unsigned sourceFilterAddr, Port port,
                           JoinMode mode) {
  Groupsock* groupsock = groupsockTable->Lookup(groupAddress, sourceFilterAddr, port);
  if (groupsock == nullptr) {
    // A script deleted the groupsock of a local join: the leave still ends
    // the JOIN repetition and tells the peer.
    if (isAnnounced(mode) && joinIsRepeating(deferredOps_, groupAddress, sourceFilterAddr, port)) {
      rptSendCmdAcrossTunnel(LEAVE_REPEAT_COUNT, SECOND,
                             mode == JoinMode::LOCAL ? LEAVE : LEAVE_RTP, groupAddress,
                             sourceFilterAddr, port, LEAVE_TTL);
    }
    return;
  }
  bool const transient = groupsock->membersAreTransient();
  if (!transient && mode == JoinMode::PEER) return;  // the peer cannot end a membership of ours

  groupsock->members().Remove(this);
  cancelLapse(deferredOps_, groupAddress, sourceFilterAddr, port);
  if (groupsock->tunnelOwned() && groupsock->members().IsEmpty()) {
    groupsockTable->Discard(groupsock);
  }
  if (!transient && isAnnounced(mode)) {
    // Replaces the JOIN repetition for the key, which therefore stops.
    rptSendCmdAcrossTunnel(LEAVE_REPEAT_COUNT, SECOND, mode == JoinMode::LOCAL ? LEAVE : LEAVE_RTP,
                           groupAddress, sourceFilterAddr, port, LEAVE_TTL);
  }

  if (DebugLevel >= 2) {
    *env_ << *this << ": left group " << AddressString(groupAddress).val();
    traceGroupTail(*env_, port, sourceFilterAddr);
  }
}

// Lays out [source] | cookies (left to write) | group | port | ttl | command.
void UDPtunnel::sendCmdAcrossTunnel(unsigned char cmd, unsigned groupAddress,
                                    unsigned sourceFilterAddr, Port port, unsigned char ttl) {
  bool const ssm = sourceFilterAddr != NO_SOURCE_FILTER;
  unsigned char const command = ssm ? static_cast<unsigned char>(cmd | SSM_BIT) : cmd;
  unsigned const length =
      writeTunnelTrailer(sendBuffer, command, groupAddress, port.num(), ttl, sourceFilterAddr);

  if (DebugLevel >= 3) {
    *env_ << *this << ": send cmd " << cmdName(command) << ", addr "
          << AddressString(groupAddress).val() << ", port " << port << ", ttl "
          << static_cast<unsigned>(ttl);
    if (ssm) *env_ << ", SSM source: " << AddressString(sourceFilterAddr).val();
    *env_ << "\n";
  }
  write(sendBuffer, length);
}

void UDPtunnel::rptSendCmdAcrossTunnel(unsigned count, DelayInterval interval, unsigned char cmd,
                                       unsigned groupAddress, unsigned sourceFilterAddr, Port port,
                                       unsigned char ttl) {
  if (count == 0) return;
  sendCmdAcrossTunnel(cmd, groupAddress, sourceFilterAddr, port, ttl);
  if (count == 1) return;  // a pending operation for the key stays as it is

  schedule(
      new RepeatedCmd(*this, groupAddress, sourceFilterAddr, port, count - 1, interval, cmd, ttl));
}

void UDPtunnel::setJoinGroupTimeout(DelayInterval delay, unsigned groupAddress,
                                    unsigned sourceFilterAddr, Port port) {
  schedule(new JoinGroupTimeout(delay, *this, groupAddress, sourceFilterAddr, port));
}

// Cancels and deletes the operation op replaces in the table, then queues op.
void UDPtunnel::schedule(DeferredOp* op) {
  if (DeferredOp* replaced = deferredOps_.Add(op)) {
    processDelayQueue().removeEntry(replaced);
    delete replaced;
  }
  processDelayQueue().addEntry(op);
}

void UDPtunnel::sendProbe() { sendCmdAcrossTunnel(PROBE, 0, NO_SOURCE_FILTER, Port(0), 0); }

void UDPtunnel::acknowledgeProbe(TunnelEncapsulationTrailer* trailer, unsigned short cookie) {
  turnIntoReply(*trailer, PROBE_ACK, localCookie_, cookie);
  tunnelSocket_->sendReply(*trailer, remoteAddress_, remotePort_);
}

bool UDPtunnel::masterOnlyCheck(unsigned char cmd, sockaddr_in& fromAddress) {
  if (!masterOnly_) return true;
  if (DebugLevel >= 1) {
    *env_ << *this << ": Rejected remote \"" << cmdName(cmd) << "\" command from "
          << AddressString(fromAddress).val() << ", because we're a master-only tunnel\n";
  }
  return false;
}

// The process-wide generator that seedRandom and random expose is not
// used: a script could make the cookies predictable with it.
void UDPtunnel::randomizeLocalCookie() { setLocalCookie(cookieSource()); }

void UDPtunnel::setLocalCookie(uint16_t cookie) {
  if (cookieDrawn_ && cookie != localCookie_) {
    for (unsigned i = EARLIER_COOKIES - 1; i > 0; --i) earlierCookies_[i] = earlierCookies_[i - 1];
    earlierCookies_[0] = localCookie_;
    if (earlierCookieCount_ < EARLIER_COOKIES) ++earlierCookieCount_;
  }
  localCookie_ = cookie;
  cookieDrawn_ = true;
}

bool UDPtunnel::acceptsCookie(uint16_t dstCookie) const {
  if (dstCookie == localCookie_) return true;
  for (unsigned i = 0; i < earlierCookieCount_; ++i) {
    if (dstCookie == earlierCookies_[i]) return true;
  }
  return false;
}

void UDPtunnel::resendPendingJoins() {
  DeferredOpLookupTable::Iterator ops(deferredOps_);
  while (DeferredOp* op = ops.next()) {
    auto* repeated = dynamic_cast<RepeatedCmd*>(op);
    if (repeated == nullptr || (repeated->cmd() != JOIN && repeated->cmd() != JOIN_RTP)) continue;
    sendCmdAcrossTunnel(repeated->cmd(), repeated->groupAddress(), repeated->sourceFilterAddr(),
                        repeated->port(), repeated->ttl());
  }
}

UsageEnvironment& operator<<(UsageEnvironment& env, UDPtunnel const& tunnel) {
  return env << timestampString() << " UDPtunnel(->" << AddressString(tunnel.remoteAddress()).val()
             << ":" << tunnel.remotePort() << ")";
}
