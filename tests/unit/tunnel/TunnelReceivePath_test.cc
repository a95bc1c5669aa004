// The receive path on the wire: a test peer sends datagrams to a tunnel
// socket, the test runs the socket's read handler, and the replies, group
// traffic, memberships and counters are checked byte for byte.
#include <fcntl.h>

#include "groupsock/Socket.hh"
#include "tests/unit/tunnel/TunnelTestSupport.hh"

namespace tunneltest {
namespace {

using testing::HasSubstr;

Bytes const A = {0xA1, 0xA2};                                           // the peer's own cookie
Bytes const GROUP_FIELDS = {0xEF, 0x01, 0x02, 0x03, 0x13, 0x8C, 0x10};  // 239.1.2.3:5004 ttl 16

class ReceivePathTest : public TunnelTest {
 protected:
  // The cookie bytes the tunnel expects from its peer.
  static Bytes ours(UDPtunnel* tunnel) { return cookieBytes(tunnel->localCookie()); }
  // Runs the receive path with trace lines captured.
  std::string deliverTraced(UDPtunnelSocket* sock, bool expectedResult = true) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(deliver(sock), expectedResult);
    return testing::internal::GetCapturedStderr();
  }
  Groupsock* groupsock(unsigned short port, unsigned source = NO_SOURCE_FILTER) {
    return OurGroupsocks.Lookup(addr("239.1.2.3"), source, Port(port));
  }
};

TEST_F(ReceivePathTest, ProbeFromAStrangerIsRefusedWithCookiesSwapped) {
  for (bool dynamic : {false, true}) {
    SCOPED_TRACE(dynamic ? "dynamic socket" : "plain socket");
    UDPtunnelSocket* sock = openSocket();
    sock->setCreatesDynamicTunnels(dynamic);
    PeerSocket peer(20000);
    peer.send(datagram(PROBE, A, {0xB1, 0xB2}));
    EXPECT_TRUE(deliver(sock));
    EXPECT_EQ(peer.receive(), datagram(PROBE_NACK, {0xB1, 0xB2}, A));
    EXPECT_EQ(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20000)), nullptr);
  }
}

TEST_F(ReceivePathTest, WrongCookieIsAnsweredWithTheRightOneAndThenAccepted) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  Bytes wrong = cookieBytes(static_cast<uint16_t>(tunnel->localCookie() ^ 0x5A5A));
  peer.send(datagram(JOIN, A, wrong, "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));

  auto reply = peer.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, ours(tunnel) + A + GROUP_FIELDS + Bytes{PROBE_ACK});
  EXPECT_EQ(tunnel->incomingActivityCount(), 0u);
  EXPECT_EQ(groupsock(5004), nullptr);

  // The peer uses the cookie it was taught.
  peer.send(datagram(JOIN, A, Bytes(reply->begin(), reply->begin() + 2), "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_TRUE(peer.quiet());
  EXPECT_EQ(tunnel->incomingActivityCount(), 1u);
  EXPECT_EQ(cookieBytes(tunnel->remoteCookie()), A);
  ASSERT_NE(groupsock(5004), nullptr);
  EXPECT_TRUE(groupsock(5004)->tunnelOwned());
  EXPECT_TRUE(groupsock(5004)->membersAreTransient());
  EXPECT_EQ(groupsock(5004)->ttl(), 16);
}

TEST_F(ReceivePathTest, BadDatagramsAreDroppedWithATraceLine) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  Bytes const right = ours(tunnel);
  struct {
    Bytes datagram;
    char const* trace;
    unsigned activity;  // incomingActivityCount afterwards
    float dataPackets;  // incomingStats afterwards
  } const table[] = {
      {Bytes(11, 0x01), "undersized packet (11 bytes; expected >= 12) from 10.99.0.2\n", 0, 0},
      {Bytes(12, 0x81), "undersized packet (12 bytes; expected >= 16) from 10.99.0.2\n", 0, 0},
      {datagram(0x84, A, right, "0.0.0.0", 0, 0, {}, "10.0.0.1"),
       "received unknown command: 0x84 across tunnel\n", 1, 0},
      {datagram(0x0a, A, right), "received unknown command: 0xa across tunnel\n", 2, 0},
      {datagram(DATA, A, right, "224.0.0.5", 5004, 1, {1, 2, 3}),
       "data packet from 10.99.0.2 was destined to an invalid multicast address 224.0.0.5\n", 3, 1},
      {datagram(DATA, A, right, "10.1.1.1", 5004, 1),
       "data packet from 10.99.0.2 was destined to an invalid multicast address 10.1.1.1\n", 4, 2},
  };
  for (auto const& entry : table) {
    SCOPED_TRACE(entry.trace);
    peer.send(entry.datagram);
    EXPECT_THAT(deliverTraced(tunnel->tunnelSocket()), HasSubstr(entry.trace));
    EXPECT_EQ(tunnel->incomingActivityCount(), entry.activity);
    EXPECT_EQ(tunnel->incomingStats().packetCount(), entry.dataPackets);
  }
  EXPECT_EQ(tunnel->incomingStats().byteCount(), 15.0f + 12.0f);  // whole datagrams
  EXPECT_EQ(cookieBytes(tunnel->remoteCookie()), A);
  EXPECT_TRUE(peer.quiet());
}

TEST_F(ReceivePathTest, ProbeAckNackBookkeeping) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  peer.send(datagram(PROBE, A, ours(tunnel)));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_EQ(peer.receive(), datagram(PROBE_ACK, ours(tunnel), A));
  EXPECT_EQ(tunnel->incomingActivityCount(), 1u);

  peer.send(datagram(PROBE_NACK, {0xC1, 0xC2}, ours(tunnel)));  // neither counted nor learnt
  EXPECT_THAT(deliverTraced(tunnel->tunnelSocket()),
              HasSubstr("): received PROBE_NACK from 10.99.0.2\n"));
  EXPECT_EQ(tunnel->incomingActivityCount(), 1u);
  EXPECT_EQ(cookieBytes(tunnel->remoteCookie()), A);

  peer.send(datagram(PROBE_ACK, {0xD1, 0xD2}, ours(tunnel)));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_EQ(tunnel->incomingActivityCount(), 2u);
  EXPECT_EQ(cookieBytes(tunnel->remoteCookie()), Bytes({0xD1, 0xD2}));
  EXPECT_TRUE(peer.quiet());

  UDPtunnel::performCookieCheck = false;  // now any dstCookie passes
  peer.send(datagram(PROBE, A, {0x00, 0x00}));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_EQ(peer.receive(), datagram(PROBE_ACK, ours(tunnel), A));
  EXPECT_EQ(tunnel->incomingActivityCount(), 3u);
}

TEST_F(ReceivePathTest, JoinAndLeaveFormsActOnPeerMemberships) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  unsigned const source = addr("10.0.0.1");
  struct {
    uint8_t join, leave;
    unsigned short port;
    char const* source;
    std::vector<unsigned short> ports;  // the groupsocks the join makes
  } const table[] = {
      {JOIN, LEAVE, 5004, nullptr, {5004}},
      {JOIN_RTP, LEAVE_RTP, 5004, nullptr, {5004, 5005}},
      {JOIN_RTP, LEAVE_RTP, 65535, nullptr, {65535, 0}},
      {SSM_JOIN, SSM_LEAVE, 5004, "10.0.0.1", {5004}},
      {SSM_JOIN_RTP, SSM_LEAVE_RTP, 5004, "10.0.0.1", {5004, 5005}},
  };
  for (auto const& entry : table) {
    SCOPED_TRACE(cmdName(entry.join) + std::string(" ") + std::to_string(entry.port));
    unsigned const filter = entry.source ? source : NO_SOURCE_FILTER;
    peer.send(datagram(entry.join, A, ours(tunnel), "239.1.2.3", entry.port, 16, {}, entry.source));
    EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
    for (unsigned short port : entry.ports) {
      ASSERT_NE(groupsock(port, filter), nullptr) << port;
      EXPECT_EQ(groupsock(port, filter)->members().numMembers(), 1);
    }
    peer.send(
        datagram(entry.leave, A, ours(tunnel), "239.1.2.3", entry.port, 255, {}, entry.source));
    EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
    for (unsigned short port : entry.ports) EXPECT_EQ(groupsock(port, filter), nullptr) << port;
  }
  EXPECT_TRUE(peer.quiet());
}

// Data from the first of two member tunnels of a local group, ordinary or
// locally-only (whose data goes out with ttl 0 and so to no member).
class DataRelayTest : public ReceivePathTest, public testing::WithParamInterface<bool> {};

TEST_P(DataRelayTest, DataGoesToTheGroupAndOtherMembersNeverBackToItsTunnel) {
  bool const locallyOnly = GetParam();
  UDPtunnel* from = makeTunnel(20001);
  UDPtunnel* other = makeTunnel(20002);
  PeerSocket fromPeer(20001), otherPeer(20002);
  from->setTunnelLocallyOnly(locallyOnly);
  from->joinGroup(addr("239.1.2.3"), NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);
  other->joinGroup(addr("239.1.2.3"), NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);
  fromPeer.drain(), otherPeer.drain();  // the JOINs
  GroupListener listener("239.1.2.3", 5004);
  float const relayedBefore = Groupsock::statsRelayedOutgoing.packetCount();

  Bytes const payload = {'h', 'e', 'l', 'l', 'o'};
  fromPeer.send(datagram(DATA, A, ours(from), "239.1.2.3", 5004, 7, payload));
  EXPECT_TRUE(deliver(from->tunnelSocket()));

  auto local = listener.receive();
  ASSERT_TRUE(local);
  EXPECT_EQ(local->data, payload);
  EXPECT_EQ(local->ttl, locallyOnly ? 0 : 7);
  if (locallyOnly) {
    EXPECT_TRUE(otherPeer.quiet());
  } else {
    // Relayed on from one tunnel to another, with one less time-to-live.
    Bytes const relayed = payload + cookieBytes(other->localCookie()) +
                          cookieBytes(other->remoteCookie()) +
                          Bytes{0xEF, 0x01, 0x02, 0x03, 0x13, 0x8C, 0x06, DATA};
    EXPECT_EQ(otherPeer.receive(), relayed);
  }
  EXPECT_TRUE(fromPeer.quiet());
  EXPECT_EQ(from->incomingStats().byteCount(), 17.0f);
  EXPECT_EQ(groupsock(5004)->relayedOutgoingStats().byteCount(), 5.0f);
  EXPECT_EQ(Groupsock::statsRelayedOutgoing.packetCount(), relayedBefore + 1);

  // A 12-byte DATA carries an empty payload, and relays it.
  fromPeer.send(datagram(DATA, A, ours(from), "239.1.2.3", 5004, 3));
  EXPECT_TRUE(deliver(from->tunnelSocket()));
  local = listener.receive();
  ASSERT_TRUE(local);
  EXPECT_TRUE(local->data.empty());
}

INSTANTIATE_TEST_SUITE_P(LocallyOnly, DataRelayTest, testing::Bool());

TEST_F(ReceivePathTest, MasterOnlyTunnelRefusesThePeersRequests) {
  UDPtunnel* tunnel = makeTunnel(20000, testsupport::PEER_ADDRESS, TUNNEL_PORT, true);
  PeerSocket peer(20000);
  for (uint8_t cmd : {JOIN, LEAVE, TEAR_DOWN}) {
    peer.send(datagram(cmd, A, ours(tunnel), "239.1.2.3", 5004, 16));
    EXPECT_THAT(deliverTraced(tunnel->tunnelSocket()),
                HasSubstr(std::string(": Rejected remote \"") + cmdName(cmd) +
                          "\" command from 10.99.0.2, because we're a master-only tunnel\n"));
  }
  EXPECT_EQ(groupsock(5004), nullptr);
  EXPECT_EQ(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20000)), tunnel);

  // Data for a group nobody here joined goes out all the same.
  GroupListener listener("239.1.2.3", 5004);
  float const outgoingBefore = Groupsock::statsOutgoing.packetCount();
  peer.send(datagram(DATA, A, ours(tunnel), "239.1.2.3", 5004, 9, {'x'}));
  EXPECT_THAT(deliverTraced(tunnel->tunnelSocket()), HasSubstr("Rejected remote \"DATA\""));
  auto local = listener.receive();
  ASSERT_TRUE(local);
  EXPECT_EQ(local->data, Bytes{'x'});
  EXPECT_EQ(local->ttl, 9);
  EXPECT_EQ(Groupsock::statsOutgoing.packetCount(), outgoingBefore + 1);
}

TEST_F(ReceivePathTest, OrdinaryTunnelDropsDataForAGroupNobodyJoined) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  GroupListener listener("239.1.2.3", 5004);
  peer.send(datagram(DATA, A, ours(tunnel), "239.1.2.3", 5004, 9, {'x'}));
  EXPECT_EQ(deliverTraced(tunnel->tunnelSocket()), "");
  EXPECT_TRUE(listener.quiet());
}

TEST_F(ReceivePathTest, DynamicSocketOpensATunnelForAStranger) {
  UDPtunnelSocket* sock = openSocket();
  sock->setCreatesDynamicTunnels(true);
  PeerSocket peer(20000);
  peer.send(datagram(JOIN, A, {0, 0}, "239.1.2.3", 5004, 16));
  EXPECT_THAT(deliverTraced(sock), HasSubstr(": dynamically creating new tunnel for remote "
                                             "address 10.99.0.2, port 20000\n"));
  UDPtunnel* tunnel = OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20000));
  ASSERT_NE(tunnel, nullptr);
  EXPECT_EQ(tunnel->tunnelSocket(), sock);
  EXPECT_EQ(sock->referenceCount(), 1u);
  EXPECT_FALSE(tunnel->masterOnly());

  // The new tunnel's cookie was not known to the stranger: it is taught.
  auto reply = peer.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 4), ours(tunnel) + A);
  peer.send(datagram(JOIN, A, ours(tunnel), "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(sock));
  ASSERT_NE(groupsock(5004), nullptr);
  EXPECT_EQ(tunnel->incomingActivityCount(), 1u);
}

// Test that a socket with an allow-list opens no tunnel for a stranger from
// outside it, answers nothing (not even a probe), counts every refusal and
// traces them at most once every few seconds; and that a stranger from an
// accepted network gets its tunnel as before.
TEST_F(ReceivePathTest, AllowListRefusesStrangersFromOtherNetworksSilently) {
  UDPtunnelSocket* sock = openSocket();
  sock->setCreatesDynamicTunnels(true);
  NetworkAllowList elsewhere;
  unsigned network, mask;
  ASSERT_TRUE(NetworkAllowList::parseNetwork("10.98.0.0/16", network, mask));
  elsewhere.add(network, mask);
  sock->restrictStrangersTo(elsewhere);
  PeerSocket peer(20000);
  peer.send(datagram(JOIN, A, {0, 0}, "239.1.2.3", 5004, 16));
  EXPECT_THAT(
      deliverTraced(sock),
      testing::MatchesRegex("[0-9:]{8} UDPtunnelSocket\\([0-9]+\\): refused 1 datagram\\(s\\) "
                            "from outside the accepted networks, the latest from "
                            "10.99.0.2\n"));
  peer.send(datagram(PROBE, A, {0xB1, 0xB2}));
  EXPECT_EQ(deliverTraced(sock), "");
  EXPECT_TRUE(peer.quiet());
  EXPECT_EQ(sock->strangersRefused(), 2u);
  EXPECT_EQ(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20000)), nullptr);

  NetworkAllowList ours;
  ASSERT_TRUE(NetworkAllowList::parseNetwork("10.99.0.0/24", network, mask));
  ours.add(network, mask);
  sock->restrictStrangersTo(ours);
  peer.send(datagram(JOIN, A, {0, 0}, "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(sock));
  EXPECT_NE(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20000)), nullptr);
  EXPECT_EQ(sock->strangersRefused(), 2u);
}

// A stranger's first datagram opens a tunnel but is not obeyed, even with
// the new tunnel's cookie guessed right: it is answered PROBE_ACK. Beyond
// the bound a stranger gets no tunnel and no reply, counted and traced; a
// dynamic tunnel that carries nothing and holds no membership goes after
// the idle time, one with a membership stays, and so does the socket.
TEST_F(ReceivePathTest, DynamicTunnelsAreBoundedAndTheIdleOnesGo) {
  UDPtunnelSocket* sock = openSocket();
  sock->setCreatesDynamicTunnels(true);
  sock->guard().setMaxDynamicTunnels(2);
  sock->guard().setIdleSeconds(8);
  auto const drawn = UDPtunnel::cookieSource;
  UDPtunnel::cookieSource = [] { return static_cast<uint16_t>(0x1234); };
  PeerSocket first(20001), second(20002), third(20003);
  for (PeerSocket* peer : {&first, &second}) {
    peer->send(datagram(JOIN, A, cookieBytes(0x1234), "239.1.2.3", 5004, 16));
    EXPECT_TRUE(deliver(sock));
    EXPECT_EQ(peer->receive(), cookieBytes(0x1234) + A + GROUP_FIELDS + Bytes{PROBE_ACK});
  }
  UDPtunnel::cookieSource = drawn;
  EXPECT_EQ(groupsock(5004), nullptr);
  third.send(datagram(JOIN, A, {0, 0}, "239.1.2.3", 5004, 16));
  EXPECT_THAT(deliverTraced(sock), HasSubstr("): refused 1 new dynamic tunnel(s) beyond the limit "
                                             "of 2, the latest for 10.99.0.2\n"));
  EXPECT_TRUE(third.quiet());
  EXPECT_EQ(sock->guard().tunnelsRefused(), 1u);
  EXPECT_EQ(sock->guard().dynamicTunnels(), 2u);

  first.send(datagram(JOIN, A, cookieBytes(0x1234), "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(sock));
  ASSERT_NE(groupsock(5004), nullptr);
  advanceSeconds(6);
  EXPECT_EQ(sock->guard().idleTunnelsRemoved(), 0u);
  testing::internal::CaptureStderr();
  advanceSeconds(2);
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("): removing idle dynamic tunnel for remote address 10.99.0.2, port "
                        "20002\n"));
  EXPECT_EQ(sock->guard().idleTunnelsRemoved(), 1u);
  EXPECT_EQ(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20002)), nullptr);
  EXPECT_NE(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20001)), nullptr);

  third.send(datagram(JOIN, A, {0, 0}, "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(sock));
  EXPECT_TRUE(third.receive());
  // The membership lapses after a minute; then that tunnel goes too.
  advanceSeconds(70);
  EXPECT_EQ(sock->guard().idleTunnelsRemoved(), 3u);
  EXPECT_EQ(OurTunnelSockets.Lookup(Port(TUNNEL_PORT)), sock);
  EXPECT_EQ(sock->referenceCount(), 0u);
}

// The peer may join routable multicast groups only, on ports no tunnel
// socket here uses, and no more of them at once than the bound; renewing
// a membership it holds is always allowed. Each refusal is counted.
TEST_F(ReceivePathTest, PeerJoinsAreBoundedAndKeptOffTunnelPorts) {
  UDPtunnel* tunnel = makeTunnel(20000);
  openSocket(TUNNEL_PORT + 2);
  TunnelSocketGuard& guard = tunnel->tunnelSocket()->guard();
  guard.setMaxPeerGroups(2);
  PeerSocket peer(20000);
  struct {
    uint8_t cmd;
    char const* group;
    unsigned short port;
    char const* trace;
  } const refused[] = {
      {JOIN, "0.0.0.0", 5353, "JOIN(s) for an address that is no routable multicast group"},
      {JOIN, "10.99.0.1", 5353, "JOIN(s) for an address that is no routable multicast group"},
      {JOIN, "224.0.0.251", 5353, "JOIN(s) for an address that is no routable multicast group"},
      {JOIN, "239.1.2.3", TUNNEL_PORT, "JOIN(s) for the port of a tunnel socket"},
      {JOIN_RTP, "239.1.2.3", TUNNEL_PORT + 1, "JOIN(s) for the port of a tunnel socket"},
  };
  for (auto const& entry : refused) {
    SCOPED_TRACE(entry.trace);
    peer.send(datagram(entry.cmd, A, ours(tunnel), entry.group, entry.port, 16));
    EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
    EXPECT_EQ(OurGroupsocks.Lookup(addr(entry.group), NO_SOURCE_FILTER, Port(entry.port)), nullptr);
  }
  EXPECT_EQ(guard.joinsForBadGroup(), 3u);
  EXPECT_EQ(guard.joinsForTunnelPort(), 2u);

  peer.send(datagram(JOIN_RTP, A, ours(tunnel), "239.1.2.3", 5004, 16));  // two groups
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  peer.send(datagram(JOIN, A, ours(tunnel), "239.1.2.3", 6000, 16));
  EXPECT_THAT(deliverTraced(tunnel->tunnelSocket()),
              HasSubstr("): refused 1 JOIN(s) beyond the limit of 2 groups per peer, the latest "
                        "from 10.99.0.2\n"));
  EXPECT_EQ(groupsock(6000), nullptr);
  peer.send(datagram(JOIN, A, ours(tunnel), "239.1.2.3", 5005, 16));  // a renewal
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_EQ(guard.joinsOverLimit(), 1u);
  peer.send(datagram(LEAVE, A, ours(tunnel), "239.1.2.3", 5005, 255));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  peer.send(datagram(JOIN, A, ours(tunnel), "239.1.2.3", 6000, 16));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_NE(groupsock(6000), nullptr);
  EXPECT_EQ(guard.joinsOverLimit(), 1u);
  EXPECT_TRUE(peer.quiet());
}

// Replies to one sender are paced: a burst is answered, the rest of a
// flood is counted, not answered. A peer whose datagrams carried the wrong
// cookie gets, a second or so later, the answer to the latest of them,
// from which it learns the cookie even after drawing new ones of its own.
TEST_F(ReceivePathTest, RepliesToOneSenderArePacedAndTheLatestIsAnswered) {
  UDPtunnelSocket* sock = openSocket();
  PeerSocket stranger(20001);
  unsigned const sent = 3 * ReplyRateLimiter::BURST;
  for (unsigned i = 0; i < sent; ++i) stranger.send(datagram(PROBE, A, {0xB1, 0xB2}));
  for (unsigned i = 0; i < sent; ++i) EXPECT_TRUE(deliver(sock));
  unsigned answered = 0;
  while (stranger.receive(QUIET_MS)) ++answered;
  // A second or so may pass meanwhile, with a token or a few more.
  EXPECT_GE(answered, ReplyRateLimiter::BURST);
  EXPECT_LE(answered, ReplyRateLimiter::BURST + 2 * ReplyRateLimiter::REPLIES_PER_SECOND);
  EXPECT_EQ(sock->guard().repliesWithheld(), sent - answered);

  replyRateLimiter().reset();
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  Bytes const wrong = cookieBytes(static_cast<uint16_t>(tunnel->localCookie() ^ 0x5A5A));
  for (unsigned i = 0; i < sent; ++i) {
    peer.send(datagram(JOIN, cookieBytes(static_cast<uint16_t>(i)), wrong, "239.1.2.3", 5004, 16));
    EXPECT_TRUE(deliver(sock));
  }
  unsigned acks = 0;
  while (peer.receive(QUIET_MS)) ++acks;
  EXPECT_LT(acks, sent);
  usleep(300000);  // a token comes back
  advanceSeconds(2);
  EXPECT_EQ(peer.receive(), datagram(PROBE_ACK, ours(tunnel), cookieBytes(sent - 1)));
  EXPECT_TRUE(peer.quiet());
}

TEST_F(ReceivePathTest, StrangersAreRefusedUnlessTheSocketOpensTunnels) {
  UDPtunnelSocket* sock = openSocket();
  makeTunnel(20000, testsupport::PEER_ADDRESS, TUNNEL_PORT + 1);  // the sender's, elsewhere
  PeerSocket peer(20000);
  for (bool dynamic : {false, true}) {
    sock->setCreatesDynamicTunnels(dynamic);
    peer.send(datagram(JOIN, A, {0, 0}, "239.1.2.3", 5004, 16));
    EXPECT_THAT(deliverTraced(sock), HasSubstr(": received packet from bad source: 10.99.0.2\n"));
  }
  EXPECT_TRUE(peer.quiet());
  EXPECT_EQ(sock->referenceCount(), 0u);
}

// The tear-down deletes the tunnel and, with its last tunnel, the socket
// whose handler is running: under AddressSanitizer this proves that nothing
// touches either afterwards, also on the way back through socketReadHandler,
// which hands the message to the scripts as a background error, and which
// has read a batch: the probe before the tear-down is answered, the one
// after it goes with the socket.
TEST_F(ReceivePathTest, TearDownDeletesTheTunnelAndItsLastSocket) {
  for (bool viaEventHandler : {false, true}) {
    SCOPED_TRACE(viaEventHandler ? "socketReadHandler" : "handleRead");
    UDPtunnel* tunnel = makeTunnel(20000);
    UDPtunnelSocket* sock = tunnel->tunnelSocket();
    int const fd = sock->socketNum();
    PeerSocket peer(20000);
    if (viaEventHandler) peer.send(datagram(PROBE, A, ours(tunnel)));
    peer.send(datagram(TEAR_DOWN, A, ours(tunnel)));
    if (viaEventHandler) {
      peer.send(datagram(PROBE, A, ours(tunnel)));
      ASSERT_TRUE(readable(fd, WAIT_MS));
      socketReadHandler(static_cast<Socket*>(sock), TaskScheduler::READABLE);
      EXPECT_EQ(backgroundErrors(), "tunnelTearDown 10.99.0.2fromRemote\n");
      EXPECT_TRUE(peer.receive());
      EXPECT_TRUE(peer.quiet());
    } else {
      EXPECT_FALSE(deliver(sock));
      EXPECT_EQ(resultMsg(), "tunnelTearDown 10.99.0.2fromRemote");
    }
    EXPECT_EQ(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20000)), nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the socket is closed
  }
}

TEST_F(ReceivePathTest, CookiesReplacedByARedrawStayAcceptable) {
  // The peer learns a new cookie from our next datagram; what it sent
  // before that must not be lost. The last three replaced cookies pass.
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  for (uint16_t cookie : {0x1111, 0x2222, 0x3333, 0x4444, 0x4444}) tunnel->setLocalCookie(cookie);
  for (uint16_t cookie : {0x4444, 0x3333, 0x2222, 0x1111})
    EXPECT_TRUE(tunnel->acceptsCookie(cookie));
  EXPECT_FALSE(tunnel->acceptsCookie(0x5555));

  peer.send(datagram(JOIN, A, cookieBytes(0x2222), "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_TRUE(peer.quiet());  // obeyed, not answered
  EXPECT_NE(groupsock(5004), nullptr);

  tunnel->setLocalCookie(0x5555);  // 0x1111 is now four cookies back
  peer.send(datagram(PROBE, A, cookieBytes(0x1111)));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_EQ(peer.receive(), datagram(PROBE_ACK, cookieBytes(0x5555), A));
  EXPECT_EQ(tunnel->incomingActivityCount(), 1u);  // the JOIN only
}

TEST_F(ReceivePathTest, ProbeAckWithANewCookieResendsPendingJoins) {
  // A fresh tunnel's first JOIN carries no cookie the peer holds; the peer
  // refuses it with a PROBE_ACK, and the JOIN goes again at once.
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  tunnel->joinGroup(addr("239.1.2.3"), NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);
  auto first = peer.receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->back(), JOIN);

  Bytes const B = {0xB1, 0xB2};
  peer.send(datagram(PROBE_ACK, B, ours(tunnel), "239.1.2.3", 5004, 16));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_EQ(peer.receive(), ours(tunnel) + B + GROUP_FIELDS + Bytes{JOIN});

  // An answer with the cookie we already hold refused nothing of ours.
  peer.send(datagram(PROBE_ACK, B, ours(tunnel)));
  EXPECT_TRUE(deliver(tunnel->tunnelSocket()));
  EXPECT_TRUE(peer.quiet());
}

}  // namespace
}  // namespace tunneltest
