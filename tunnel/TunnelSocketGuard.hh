// What one tunnel socket grants remote senders, so that none of them can
// take the gateway over: at most maxDynamicTunnels tunnels opened for
// strangers, each removed once it has carried nothing and held no
// membership for idleSeconds; at most maxPeerGroups groups joined at once
// for the peer of any tunnel on the socket, and only routable multicast
// groups on ports that no tunnel socket of this process uses; and replies
// to senders paced by the process's ReplyRateLimiter. Each refusal is
// counted, and traced at most once every few seconds per kind.
#ifndef VELDRA_TUNNEL_TUNNELSOCKETGUARD_HH
#define VELDRA_TUNNEL_TUNNELSOCKETGUARD_HH

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "tunnel/RefusalCount.hh"
#include "tunnel/TunnelEncapsulation.hh"

class UDPtunnel;
class UDPtunnelSocket;

class TunnelSocketGuard {
 public:
  static constexpr unsigned DEFAULT_MAX_DYNAMIC_TUNNELS = 1024;
  static constexpr unsigned DEFAULT_MAX_PEER_GROUPS = 256;
  static constexpr unsigned DEFAULT_IDLE_SECONDS = 180;

  explicit TunnelSocketGuard(UDPtunnelSocket& socket);
  ~TunnelSocketGuard();  // the idle sweep is cancelled with it
  TunnelSocketGuard(TunnelSocketGuard const&) = delete;
  TunnelSocketGuard& operator=(TunnelSocketGuard const&) = delete;

  // Whether a tunnel may be opened for the stranger at address (network
  // order): false, counted and traced, when the socket has maxDynamicTunnels.
  bool admitsDynamicTunnel(unsigned address);
  // A tunnel opened for a stranger: counted until it goes (forget), and
  // watched by the idle sweep.
  void dynamicTunnelMade(UDPtunnel& tunnel);
  // Called by every tunnel of the socket as it goes.
  void forget(UDPtunnel const& tunnel) {
    dynamicTunnels_.erase(&tunnel);
    owedAcks_.erase(&tunnel);
  }
  unsigned dynamicTunnels() const { return static_cast<unsigned>(dynamicTunnels_.size()); }

  // Whether the peer's JOIN (of the RTP form if rtp) in trailer may be
  // obeyed by tunnel; false, counted and traced, when its group is no
  // routable multicast group, its port (or the RTP companion) is one of a
  // tunnel socket here, or it would make the peer a member of more than
  // maxPeerGroups groups. Renewing a membership is always allowed.
  bool admitsJoin(UDPtunnel& tunnel, DecodedTrailer const& trailer, bool rtp, unsigned from);

  // Whether a reply may go to address now; false, counted and traced, when
  // the sender has had its share.
  bool mayReply(unsigned address);
  // The PROBE_ACK that teaches the peer of tunnel our cookie, in answer to
  // a datagram with the wrong one whose srcCookie was cookie: sent now if
  // the peer's share allows. Else the latest one withheld goes about a
  // second later (as the share allows then): a peer that sends many JOINs
  // at once draws new cookies of its own meanwhile, and may take only an
  // answer to one of its last datagrams as meant for it.
  void acknowledgeWrongCookie(UDPtunnel& tunnel, TunnelEncapsulationTrailer* trailer,
                              uint16_t cookie);

  unsigned maxDynamicTunnels() const { return maxDynamicTunnels_; }
  unsigned maxPeerGroups() const { return maxPeerGroups_; }
  unsigned idleSeconds() const { return idleSeconds_; }
  void setMaxDynamicTunnels(unsigned n) { maxDynamicTunnels_ = n; }
  void setMaxPeerGroups(unsigned n) { maxPeerGroups_ = n; }
  // Takes effect from the next sweep; at least 1.
  void setIdleSeconds(unsigned seconds) { idleSeconds_ = seconds > 0 ? seconds : 1; }

  // What was refused or removed since the socket was opened.
  unsigned tunnelsRefused() const { return tunnelsRefused_.total(); }
  unsigned idleTunnelsRemoved() const { return idleTunnelsRemoved_; }
  unsigned joinsOverLimit() const { return joinsOverLimit_.total(); }
  unsigned joinsForTunnelPort() const { return joinsForTunnelPort_.total(); }
  unsigned joinsForBadGroup() const { return joinsForBadGroup_.total(); }
  unsigned repliesWithheld() const { return repliesWithheld_.total(); }

 private:
  class IdleSweep;
  class OwedAcks;
  // What the sweep knows of a dynamic tunnel: its activity count when last
  // looked at, and for how many sweeps since then it has been idle.
  struct Watch {
    unsigned activity = 0;
    unsigned idleSweeps = 0;
  };

  void sweep();
  void sendOwedAcks();
  unsigned sweepSeconds() const;
  bool refuseJoin(RefusalCount& count, char const* why, unsigned from);

  UDPtunnelSocket& socket_;
  unsigned maxDynamicTunnels_ = DEFAULT_MAX_DYNAMIC_TUNNELS;
  unsigned maxPeerGroups_ = DEFAULT_MAX_PEER_GROUPS;
  unsigned idleSeconds_ = DEFAULT_IDLE_SECONDS;
  std::unordered_map<UDPtunnel const*, Watch> dynamicTunnels_;
  std::unique_ptr<IdleSweep> sweep_;                         // made with the first dynamic tunnel
  std::unordered_map<UDPtunnel const*, uint16_t> owedAcks_;  // the cookie to answer
  std::unique_ptr<OwedAcks> owedAcksTimer_;
  RefusalCount tunnelsRefused_;
  unsigned idleTunnelsRemoved_ = 0;
  RefusalCount joinsOverLimit_;
  RefusalCount joinsForTunnelPort_;
  RefusalCount joinsForBadGroup_;
  RefusalCount repliesWithheld_;
};

#endif
