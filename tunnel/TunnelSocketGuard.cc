// The tunnel socket's guard: admission of dynamic tunnels and of the
// peers' JOINs, the idle sweep, and the pace of replies.
#include "tunnel/TunnelSocketGuard.hh"

#include <arpa/inet.h>

#include <vector>

#include "groupsock/AddressString.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "runtime/DelayQueue.hh"
#include "runtime/UsageEnvironment.hh"
#include "tunnel/DeferredOp.hh"
#include "tunnel/ReplyRateLimiter.hh"
#include "tunnel/UDPtunnel.hh"
#include "tunnel/UDPtunnelLookupTable.hh"
#include "tunnel/UDPtunnelSocket.hh"
#include "tunnel/UDPtunnelSocketLookupTable.hh"

namespace {

// Whether the tunnel is a member of any groupsock or has timed work
// pending (a lapse, a JOIN or LEAVE repetition): it then holds a membership.
bool holdsMembership(UDPtunnel& tunnel) {
  DeferredOpLookupTable::Iterator ops(tunnel.deferredOps());
  if (ops.next() != nullptr) return true;
  GroupsockLookupTable::Iterator groupsocks(OurGroupsocks);
  while (Groupsock* groupsock = groupsocks.next()) {
    DirectedNetInterfaceSet::Iterator members(groupsock->members());
    while (DirectedNetInterface* member = members.next()) {
      if (member == &tunnel) return true;
    }
  }
  return false;
}

// Whether the peer of tunnel holds a membership of the key it can lapse:
// a JOIN for it renews, and adds nothing.
bool isPeerMembership(UDPtunnel& tunnel, unsigned group, unsigned source, Port port) {
  return dynamic_cast<JoinGroupTimeout*>(tunnel.deferredOps().Lookup(group, source, port)) !=
         nullptr;
}

// The groups the peer of tunnel has joined at once: its pending lapses.
unsigned peerMemberships(UDPtunnel& tunnel) {
  unsigned n = 0;
  DeferredOpLookupTable::Iterator ops(tunnel.deferredOps());
  while (DeferredOp* op = ops.next()) {
    if (dynamic_cast<JoinGroupTimeout*>(op) != nullptr) ++n;
  }
  return n;
}

}  // namespace

// Runs the guard's sweep every sweepSeconds for as long as the guard lives.
class TunnelSocketGuard::IdleSweep : public DelayQueueEntry {
 public:
  IdleSweep(TunnelSocketGuard& guard, DelayInterval period)
      : DelayQueueEntry(period), guard_(guard) {}
  ~IdleSweep() override { processDelayQueue().removeEntry(this); }
  void handleTimeout() override {
    // Queued again first: the sweep may take a while, but not the socket.
    processDelayQueue().updateEntry(this, static_cast<short>(guard_.sweepSeconds()) * SECOND);
    guard_.sweep();
  }

 private:
  TunnelSocketGuard& guard_;
};

// Sends the owed PROBE_ACKs a second after the first was withheld.
class TunnelSocketGuard::OwedAcks : public DelayQueueEntry {
 public:
  explicit OwedAcks(TunnelSocketGuard& guard) : DelayQueueEntry(SECOND), guard_(guard) {}
  ~OwedAcks() override { processDelayQueue().removeEntry(this); }
  void handleTimeout() override { guard_.sendOwedAcks(); }

 private:
  TunnelSocketGuard& guard_;
};

TunnelSocketGuard::TunnelSocketGuard(UDPtunnelSocket& socket) : socket_(socket) {}

TunnelSocketGuard::~TunnelSocketGuard() = default;

bool TunnelSocketGuard::admitsDynamicTunnel(unsigned address) {
  if (dynamicTunnels_.size() < maxDynamicTunnels_) return true;
  unsigned n;
  if (tunnelsRefused_.count(n) && Socket::DebugLevel >= 1) {
    socket_.env() << socket_ << ": refused " << n << " new dynamic tunnel(s) beyond the limit of "
                  << maxDynamicTunnels_ << ", the latest for " << AddressString(address).val()
                  << "\n";
  }
  return false;
}

void TunnelSocketGuard::dynamicTunnelMade(UDPtunnel& tunnel) {
  dynamicTunnels_[&tunnel] = Watch{tunnel.incomingActivityCount(), 0};
  if (!sweep_) {
    sweep_.reset(new IdleSweep(*this, static_cast<short>(sweepSeconds()) * SECOND));
    processDelayQueue().addEntry(sweep_.get());
  }
}

unsigned TunnelSocketGuard::sweepSeconds() const {
  unsigned const seconds = idleSeconds_ >= 4 ? idleSeconds_ / 4 : 1;
  return seconds < 32767 ? seconds : 32767;
}

// A tunnel is idle for a sweep when its activity count has not moved since
// the previous one and it holds no membership; idle for idleSeconds, it goes.
void TunnelSocketGuard::sweep() {
  unsigned const period = sweepSeconds();
  std::vector<UDPtunnel*> idle;
  for (auto& [tunnel, watch] : dynamicTunnels_) {
    auto* t = const_cast<UDPtunnel*>(tunnel);
    if (t->incomingActivityCount() != watch.activity || holdsMembership(*t)) {
      watch.activity = t->incomingActivityCount();
      watch.idleSweeps = 0;
    } else if (++watch.idleSweeps * period >= idleSeconds_) {
      idle.push_back(t);
    }
  }
  for (UDPtunnel* tunnel : idle) {
    if (Socket::DebugLevel >= 1) {
      socket_.env() << socket_ << ": removing idle dynamic tunnel for remote address "
                    << AddressString(tunnel->remoteAddress()).val() << ", port "
                    << tunnel->remotePort() << "\n";
    }
    ++idleTunnelsRemoved_;
    if (OurTunnels.Lookup(tunnel->remoteAddress(), tunnel->remotePort()) == tunnel) {
      OurTunnels.Remove(tunnel);
    }
    delete tunnel;  // forgets itself here
  }
}

bool TunnelSocketGuard::refuseJoin(RefusalCount& count, char const* why, unsigned from) {
  unsigned n;
  if (count.count(n) && Socket::DebugLevel >= 1) {
    socket_.env() << socket_ << ": refused " << n << " JOIN(s) " << why << ", the latest from "
                  << AddressString(from).val() << "\n";
  }
  return false;
}

bool TunnelSocketGuard::admitsJoin(UDPtunnel& tunnel, DecodedTrailer const& t, bool rtp,
                                   unsigned from) {
  Port const port(ntohs(t.port));
  Port const companion(static_cast<unsigned short>(ntohs(t.port) + 1));
  if (!IsMulticastAddress(t.address)) {
    return refuseJoin(joinsForBadGroup_, "for an address that is no routable multicast group",
                      from);
  }
  if (OurTunnelSockets.Lookup(port) != nullptr ||
      (rtp && OurTunnelSockets.Lookup(companion) != nullptr)) {
    return refuseJoin(joinsForTunnelPort_, "for the port of a tunnel socket", from);
  }
  unsigned added = isPeerMembership(tunnel, t.address, t.sourceFilter, port) ? 0 : 1;
  if (rtp && !isPeerMembership(tunnel, t.address, t.sourceFilter, companion)) ++added;
  if (added > 0 && peerMemberships(tunnel) + added > maxPeerGroups_) {
    unsigned n;
    if (joinsOverLimit_.count(n) && Socket::DebugLevel >= 1) {
      socket_.env() << socket_ << ": refused " << n << " JOIN(s) beyond the limit of "
                    << maxPeerGroups_ << " groups per peer, the latest from "
                    << AddressString(from).val() << "\n";
    }
    return false;
  }
  return true;
}

void TunnelSocketGuard::acknowledgeWrongCookie(UDPtunnel& tunnel,
                                               TunnelEncapsulationTrailer* trailer,
                                               uint16_t cookie) {
  if (mayReply(tunnel.remoteAddress())) {
    tunnel.acknowledgeProbe(trailer, cookie);
    owedAcks_.erase(&tunnel);
    return;
  }
  owedAcks_[&tunnel] = cookie;
  if (!owedAcksTimer_) owedAcksTimer_.reset(new OwedAcks(*this));
  if (!owedAcksTimer_->isQueued()) processDelayQueue().updateEntry(owedAcksTimer_.get(), SECOND);
}

// Each owed answer goes if its peer's share allows it now, else it waits
// for the next second.
void TunnelSocketGuard::sendOwedAcks() {
  for (auto owed = owedAcks_.begin(); owed != owedAcks_.end();) {
    auto* tunnel = const_cast<UDPtunnel*>(owed->first);
    if (!replyRateLimiter().admit(tunnel->remoteAddress(), ReplyRateLimiter::Clock::now())) {
      ++owed;
      continue;
    }
    TunnelEncapsulationTrailer reply{};
    tunnel->acknowledgeProbe(&reply, owed->second);
    owed = owedAcks_.erase(owed);
  }
  if (!owedAcks_.empty()) processDelayQueue().updateEntry(owedAcksTimer_.get(), SECOND);
}

bool TunnelSocketGuard::mayReply(unsigned address) {
  if (replyRateLimiter().admit(address, ReplyRateLimiter::Clock::now())) return true;
  unsigned n;
  if (repliesWithheld_.count(n) && Socket::DebugLevel >= 1) {
    socket_.env() << socket_ << ": withheld " << n << " reply datagram(s) beyond "
                  << ReplyRateLimiter::REPLIES_PER_SECOND
                  << " a second to one sender, the latest to " << AddressString(address).val()
                  << "\n";
  }
  return false;
}
