// This gateway's end of one tunnel to one peer gateway, named by the peer's
// address and UDP port. Sends through the UDPtunnelSocket of its local
// port, shared with the other tunnels on that port. As a member of local
// groupsocks it is handed every datagram they read, trailer appended, and
// sends it to the peer with its cookies filled in. It also carries the
// membership protocol: JOIN every 15 s while a local join lasts, LEAVE five
// times a second apart when it ends, and memberships the peer asked for
// that lapse 60 s after the last JOIN.
#ifndef VELDRA_TUNNEL_UDPTUNNEL_HH
#define VELDRA_TUNNEL_UDPTUNNEL_HH

#include <netinet/in.h>

#include <cstdint>

#include "groupsock/NetInterface.hh"
#include "groupsock/NetInterfaceTrafficStats.hh"
#include "groupsock/Port.hh"
#include "runtime/Timeval.hh"
#include "tunnel/DeferredOpLookupTable.hh"
#include "tunnel/TunnelEncapsulation.hh"

class DeferredOp;
class GroupsockLookupTable;
class NetAddress;
class UDPtunnelSocket;
class UDPtunnelSocketLookupTable;
class UsageEnvironment;

// Who asks for a membership through a tunnel, and what the peer is told.
enum class JoinMode : unsigned char {
  PEER = 0,           // the peer asked (a JOIN or LEAVE received, or its join lapsed)
  LOCAL = 1,          // a local request: JOIN and LEAVE
  LOCAL_RTP = 2,      // a local request for an RTP port: JOIN_RTP and LEAVE_RTP
  RTP_COMPANION = 3,  // the companion port of a local RTP request: nothing
};

class UDPtunnel : public DirectedNetInterface {
 public:
  // A tunnel to remoteAddress:remotePort on the tunnel socket of localPort,
  // which is fetched from socketTable (opened there if need be). When the
  // socket cannot be had, tunnelSocket() is nullptr and the creator deletes
  // the tunnel. The creator, not the constructor, enters it in OurTunnels.
  // masterOnly: the peer may not make this gateway join, leave or tear down.
  UDPtunnel(NetAddress const& remoteAddress, Port remotePort, Port localPort,
            UDPtunnelSocketLookupTable& socketTable, GroupsockLookupTable& groupsockTable,
            UsageEnvironment& env, unsigned char masterOnly);
  // Releases the socket (deleting it with its last tunnel, unless it opens
  // tunnels for strangers), leaves every
  // groupsock (deleting tunnel-owned ones left without members) and cancels
  // every deferred operation. Sends nothing; the caller has removed the
  // tunnel from OurTunnels.
  ~UDPtunnel() override;
  UDPtunnel(UDPtunnel const&) = delete;
  UDPtunnel& operator=(UDPtunnel const&) = delete;

  // Sends one datagram to the peer: data's last numBytes bytes end with a
  // complete trailer but for the cookies, which are filled in here. True
  // when it was sent whole. A buffer shorter than its trailer ends the
  // process (status 1): no caller may pass one.
  bool write(unsigned char* data, unsigned numBytes) override;

  // Asked by a relaying groupsock about a datagram from addr (network
  // order). Multicast sent by the peer itself means the two sites are
  // joined by multicast already: the tunnel tells the peer (TEAR_DOWN),
  // leaves OurTunnels and deletes itself, answering false with the result
  // message "tunnelTearDown <addr>mcastFromEndpoint" (left empty below
  // DebugLevel 0). A locally-only tunnel refuses, silently, every source
  // but this host.
  bool SourceAddrOKForRelaying(UsageEnvironment& env, unsigned addr) override;

  // Makes the tunnel a member of the groupsock for the group, port and
  // source filter (all ones: none), creating it if needed. PEER: the
  // membership lapses 60 s after the latest such call. LOCAL: announced to
  // the peer by JOIN now and every 15 s. LOCAL_RTP: the same with JOIN_RTP.
  // RTP_COMPANION: announced by nothing.
  // False when no groupsock could be had (the reason is the result message).
  bool joinGroup(unsigned groupAddress, unsigned sourceFilterAddr, Port port, unsigned char ttl,
                 JoinMode mode);
  // Ends the membership. PEER is ignored for a membership this gateway made
  // itself. LOCAL and LOCAL_RTP tell the peer with five LEAVE or LEAVE_RTP
  // commands one second apart; they do so also when a script has deleted
  // the groupsock meanwhile, as long as the JOINs are still being repeated.
  // A pending lapse of the membership is cancelled with it.
  void leaveGroup(unsigned groupAddress, unsigned sourceFilterAddr, Port port, JoinMode mode);

  // Sends one trailer-only command (SSM form when sourceFilterAddr is not
  // all ones) through write.
  void sendCmdAcrossTunnel(unsigned char cmd, unsigned groupAddress, unsigned sourceFilterAddr,
                           Port port, unsigned char ttl);
  // Sends the command now and count - 1 more times, interval apart,
  // replacing any deferred operation for the same key. count 1 only sends;
  // count 0 does nothing.
  void rptSendCmdAcrossTunnel(unsigned count, DelayInterval interval, unsigned char cmd,
                              unsigned groupAddress, unsigned sourceFilterAddr, Port port,
                              unsigned char ttl);
  // Ends the peer-requested membership after delay, replacing any deferred
  // operation for the same key.
  void setJoinGroupTimeout(DelayInterval delay, unsigned groupAddress, unsigned sourceFilterAddr,
                           Port port);

  // Sends PROBE; the peer answers PROBE_ACK (or PROBE_NACK if it has no
  // tunnel for us).
  void sendProbe();
  // Turns the basic trailer into a PROBE_ACK carrying our cookie and the
  // given one as the peer's, and sends those 12 bytes straight to the peer
  // (not through write: not counted, no cookie redraw).
  void acknowledgeProbe(TunnelEncapsulationTrailer* trailer, unsigned short cookie);
  // True when the tunnel is not master-only. For a master-only tunnel it
  // traces "Rejected remote ... command" at DebugLevel 1 and returns false;
  // the caller decides what that means: a JOIN, LEAVE or TEAR_DOWN is then
  // ignored, but DATA for a group without a local groupsock is traced as
  // rejected and still sent out, straight from the tunnel socket.
  bool masterOnlyCheck(unsigned char cmd, sockaddr_in& fromAddress);
  // Draws a new local cookie from cookieSource.
  void randomizeLocalCookie();
  // Takes cookie as the local cookie. A cookie it replaces stays acceptable
  // as one of the last few.
  void setLocalCookie(uint16_t cookie);
  // Whether a received dstCookie is one the peer may use: our cookie, or
  // one of the last few it replaced. The peer learns a new cookie from the
  // next datagram we send it; until then its datagrams on the way carry an
  // earlier one, and refusing those would lose data on every redraw.
  bool acceptsCookie(uint16_t dstCookie) const;
  // Sends every pending JOIN or JOIN_RTP repetition once more, now. Called
  // when the peer's PROBE_ACK shows it refused what we sent with a cookie it
  // no longer holds (a fresh tunnel, or a restarted peer), so that its
  // memberships come back without waiting for the next repetition.
  void resendPendingJoins();

  NetInterfaceTrafficStats& incomingStats() { return incomingStats_; }
  NetInterfaceTrafficStats& outgoingStats() { return outgoingStats_; }
  // Datagrams from the peer that passed the cookie check, PROBE_NACK aside.
  unsigned incomingActivityCount() const { return incomingActivityCount_; }
  void countIncomingActivity() { ++incomingActivityCount_; }
  bool tunnelLocallyOnly() const { return tunnelLocallyOnly_; }
  void setTunnelLocallyOnly(bool locallyOnly) { tunnelLocallyOnly_ = locallyOnly; }
  unsigned remoteAddress() const { return remoteAddress_; }  // network order
  Port remotePort() const { return remotePort_; }
  Port localPort() const { return localPort_; }
  // Cookies are opaque: their bytes as they stand in a trailer, in host order.
  uint16_t localCookie() const { return localCookie_; }
  uint16_t remoteCookie() const { return remoteCookie_; }
  void setRemoteCookie(uint16_t cookie) { remoteCookie_ = cookie; }
  bool masterOnly() const { return masterOnly_; }
  UDPtunnelSocket* tunnelSocket() const { return tunnelSocket_; }
  UsageEnvironment& env() const { return *env_; }
  DeferredOpLookupTable& deferredOps() { return deferredOps_; }

  // Trace level of tunnels; 1 at start.
  static int DebugLevel;
  // Whether the receive path checks each datagram's dstCookie; true at start.
  static bool performCookieCheck;
  // write calls of all tunnels so far; every 64th redraws a cookie.
  static unsigned writeCount() { return writeCount_; }
  // Where cookies come from: 16 bits of the system's random source
  // (getrandom), never the generator the scripts can seed. Tests may put a
  // source of their own here.
  static uint16_t (*cookieSource)();

 private:
  // Enters op in deferredOps_ and the delay queue, in place of any
  // operation pending for the same key.
  void schedule(DeferredOp* op);

  NetInterfaceTrafficStats incomingStats_;
  NetInterfaceTrafficStats outgoingStats_;
  unsigned incomingActivityCount_ = 0;
  bool tunnelLocallyOnly_ = false;
  unsigned remoteAddress_ = 0;
  Port remotePort_;
  Port localPort_;
  uint16_t localCookie_ = 0;
  static constexpr unsigned EARLIER_COOKIES = 3;
  uint16_t earlierCookies_[EARLIER_COOKIES] = {};  // most recent first
  unsigned earlierCookieCount_ = 0;
  bool cookieDrawn_ = false;
  uint16_t remoteCookie_ = 0;  // what we send until the peer's first datagram
  UDPtunnelSocketLookupTable* socketTable;
  GroupsockLookupTable* groupsockTable;
  UsageEnvironment* env_;
  bool masterOnly_;
  UDPtunnelSocket* tunnelSocket_ = nullptr;
  DeferredOpLookupTable deferredOps_;

  static unsigned writeCount_;
};

// The trace prefix: the clock text, " UDPtunnel(->", the peer's address and
// port, ")".
UsageEnvironment& operator<<(UsageEnvironment& env, UDPtunnel const& tunnel);

#endif
