// The tunnel's send side: command layout on the wire, cookie redraws, the
// timed membership protocol (driven by a hand-moved clock), relaying and the
// tear-down from inside a groupsock's relay loop, sockets shared and
// released, and destruction cancelling its timers.
#include "tunnel/UDPtunnel.hh"

#include <fcntl.h>

#include <set>

#include "groupsock/OurIPAddress.hh"
#include "groupsock/OurRandom.hh"
#include "tests/unit/tunnel/TunnelTestSupport.hh"
#include "tunnel/DeferredOp.hh"

namespace tunneltest {
namespace {

unsigned const G = addr("239.1.2.3");

class UDPtunnelTest : public TunnelTest {
 protected:
  // The command byte of each datagram that reaches the peer now.
  static Bytes commandsAt(PeerSocket& peer) {
    Bytes commands;
    while (auto d = peer.receive(QUIET_MS)) commands.push_back(d->back());
    return commands;
  }
};

TEST_F(UDPtunnelTest, CommandsAreLaidOutByteForByte) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  tunnel->setRemoteCookie(0xBEEF);
  Bytes const R = cookieBytes(0xBEEF);
  struct {
    char const* source;
    Bytes tail;  // what follows the cookies
  } const table[] = {
      {nullptr, {0xEF, 0x01, 0x02, 0x03, 0x13, 0x8C, 0x10, 0x02}},
      {"10.0.0.1", {0xEF, 0x01, 0x02, 0x03, 0x13, 0x8C, 0x10, 0x82}},
  };
  for (auto const& entry : table) {
    tunnel->sendCmdAcrossTunnel(JOIN, G, entry.source ? addr(entry.source) : NO_SOURCE_FILTER,
                                Port(5004), 16);
    Bytes const head = entry.source ? Bytes{0x0A, 0x00, 0x00, 0x01} : Bytes{};
    EXPECT_EQ(peer.receive(), head + cookieBytes(tunnel->localCookie()) + R + entry.tail);
  }
  tunnel->sendProbe();
  Bytes const probe = cookieBytes(tunnel->localCookie()) + R + Bytes{0, 0, 0, 0, 0, 0, 0, PROBE};
  EXPECT_EQ(peer.receive(), probe);
  EXPECT_EQ(tunnel->outgoingStats().packetCount(), 3.0f);
  EXPECT_EQ(tunnel->outgoingStats().byteCount(), 12.0f + 16.0f + 12.0f);
}

// The tunnel's datagrams go with time-to-live 0 set on the socket for a
// multicast peer only: a unicast peer costs no system call for it.
TEST_F(UDPtunnelTest, OnlyAMulticastPeerHasTheTimeToLiveSet) {
  auto ttlOf = [](UDPtunnel* tunnel) {
    unsigned char ttl = 99;
    socklen_t size = sizeof ttl;
    getsockopt(tunnel->tunnelSocket()->socketNum(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &size);
    return static_cast<int>(ttl);
  };
  UDPtunnel* unicast = makeTunnel(20000);
  unicast->sendProbe();
  EXPECT_EQ(ttlOf(unicast), 1);  // the system's default, untouched
  UDPtunnel* multicast = makeTunnel(20000, "239.9.9.9", TUNNEL_PORT + 1);
  multicast->sendProbe();
  EXPECT_EQ(ttlOf(multicast), 0);
}

TEST_F(UDPtunnelTest, WriteOfABufferShorterThanItsTrailerEndsTheProcess) {
  UDPtunnel* tunnel = makeTunnel(20000);
  unsigned char shortBuffer[16] = {};
  shortBuffer[9] = JOIN;
  EXPECT_EXIT(tunnel->write(shortBuffer, 10), testing::ExitedWithCode(1),
              "^UDPtunnel::write\\(\\): 10 bytes; expected at least 12\n$");
  shortBuffer[14] = SSM_JOIN;
  EXPECT_EXIT(tunnel->write(shortBuffer, 15), testing::ExitedWithCode(1),
              "expected at least 16\n$");
}

// A cookie source that counts makes every redraw a new cookie, so that the
// test sees a redraw as a change of the tunnel's cookie.
uint16_t countingCookies() {
  static uint16_t next = 0;
  return ++next;
}

TEST_F(UDPtunnelTest, EverySixtyFourthWriteRedrawsTheWritersCookie) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  uint16_t (*const systemSource)() = UDPtunnel::cookieSource;
  UDPtunnel::cookieSource = countingCookies;
  // Whether the next write redraws, checked against the count it finds.
  auto writeRedraws = [&] {
    unsigned const found = UDPtunnel::writeCount();
    uint16_t const before = tunnel->localCookie();
    tunnel->sendProbe();
    bool const redrew = tunnel->localCookie() != before;
    EXPECT_EQ(redrew, found % 64 == 0) << "write finding count " << found;
    auto sent = peer.receive();
    EXPECT_TRUE(sent && Bytes(sent->begin(), sent->begin() + 2) ==
                            cookieBytes(tunnel->localCookie()));  // the cookie as drawn
    return redrew;
  };
  do writeRedraws();
  while (UDPtunnel::writeCount() % 64 != 0);
  EXPECT_TRUE(writeRedraws());   // finds a multiple of 64 (the 65th write of a fresh process)
  EXPECT_FALSE(writeRedraws());  // the one after it
  UDPtunnel::cookieSource = systemSource;
}

// Cookies come from the system's random source: a draw leaves the generator
// that the scripts seed and read untouched, and draws within one second
// (the old seed's resolution) still differ.
TEST_F(UDPtunnelTest, CookiesComeFromTheSystemNotFromTheScriptsGenerator) {
  UDPtunnel* tunnel = makeTunnel(20000);
  our_srandom(7);
  long const undisturbed = our_random();
  our_srandom(7);
  std::set<uint16_t> cookies;
  for (int i = 0; i < 16; ++i) {
    tunnel->randomizeLocalCookie();
    cookies.insert(tunnel->localCookie());
  }
  EXPECT_EQ(our_random(), undisturbed);
  EXPECT_GE(cookies.size(), 8u);
}

TEST_F(UDPtunnelTest, LocalJoinRepeatsEvery15SecondsAndLeaveFiveTimes) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);
  EXPECT_EQ(commandsAt(peer), Bytes{JOIN});
  advanceSeconds(14);
  EXPECT_EQ(commandsAt(peer), Bytes{});
  advanceSeconds(1);
  EXPECT_EQ(commandsAt(peer), Bytes{JOIN});
  advanceSeconds(15);
  EXPECT_EQ(commandsAt(peer), Bytes{JOIN});

  tunnel->leaveGroup(G, NO_SOURCE_FILTER, Port(5004), JoinMode::LOCAL);
  auto leave = peer.receive();
  ASSERT_TRUE(leave);
  EXPECT_EQ(Bytes(leave->end() - 2, leave->end()), Bytes({255, LEAVE}));
  for (int i = 0; i < 4; ++i) {
    advanceSeconds(1);
    EXPECT_EQ(commandsAt(peer), Bytes{LEAVE}) << i;
  }
  advanceSeconds(30);
  EXPECT_EQ(commandsAt(peer), Bytes{});
  EXPECT_EQ(tunnel->deferredOps().Lookup(G, NO_SOURCE_FILTER, Port(5004)), nullptr);
  EXPECT_EQ(TheDelayQueue->head(), nullptr);
}

TEST_F(UDPtunnelTest, PeerJoinLapsesAMinuteAfterTheLatestJoin) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  Groupsock* groupsock = OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004));
  ASSERT_NE(groupsock, nullptr);
  EXPECT_TRUE(groupsock->tunnelOwned());
  EXPECT_TRUE(groupsock->membersAreTransient());
  advanceSeconds(30);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);  // the peer renews
  advanceSeconds(59);
  EXPECT_EQ(OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004)), groupsock);
  advanceSeconds(1);
  EXPECT_EQ(OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004)), nullptr);  // deleted
  EXPECT_EQ(TheDelayQueue->head(), nullptr);
  EXPECT_TRUE(peer.quiet());  // the peer's requests are never announced back
}

// A script may delete the groupsock under a local join; the leave that
// follows still ends the JOIN repetition and tells the peer.
TEST_F(UDPtunnelTest, LocalLeaveAfterTheGroupsockWasDeletedStopsTheJoins) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);
  Groupsock* groupsock = OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004));
  ASSERT_NE(groupsock, nullptr);
  OurGroupsocks.Remove(groupsock);  // as groupsock_delete does
  delete groupsock;
  peer.drain();
  tunnel->leaveGroup(G, NO_SOURCE_FILTER, Port(5004), JoinMode::LOCAL);
  EXPECT_EQ(commandsAt(peer), Bytes{LEAVE});
  advanceSeconds(60);
  EXPECT_EQ(commandsAt(peer), Bytes({LEAVE, LEAVE, LEAVE, LEAVE}));
  EXPECT_EQ(TheDelayQueue->head(), nullptr);
}

// The peer's LEAVE ends its membership and, with it, the pending lapse.
TEST_F(UDPtunnelTest, PeersLeaveCancelsItsLapse) {
  UDPtunnel* tunnel = makeTunnel(20000);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  tunnel->leaveGroup(G, NO_SOURCE_FILTER, Port(5004), JoinMode::PEER);
  EXPECT_EQ(OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004)), nullptr);
  EXPECT_EQ(tunnel->deferredOps().Lookup(G, NO_SOURCE_FILTER, Port(5004)), nullptr);
  EXPECT_EQ(TheDelayQueue->head(), nullptr);
}

TEST_F(UDPtunnelTest, PeerCannotEndALocalMembership) {
  UDPtunnel* tunnel = makeTunnel(20000);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);
  UDPtunnel::DebugLevel = 2;
  testing::internal::CaptureStderr();
  tunnel->leaveGroup(G, NO_SOURCE_FILTER, Port(5004), JoinMode::PEER);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004))->members().numMembers(), 1);
  // ... and a later JOIN from the peer sets no lapse on it.
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  EXPECT_NE(
      dynamic_cast<RepeatedCmd*>(tunnel->deferredOps().Lookup(G, NO_SOURCE_FILTER, Port(5004))),
      nullptr);
}

TEST_F(UDPtunnelTest, RepeatCountsOfOneAndZero) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);
  DeferredOp* pending = tunnel->deferredOps().Lookup(G, NO_SOURCE_FILTER, Port(5004));
  peer.drain();
  tunnel->rptSendCmdAcrossTunnel(1, SECOND, LEAVE, G, NO_SOURCE_FILTER, Port(5004), 255);
  EXPECT_EQ(commandsAt(peer), Bytes{LEAVE});
  EXPECT_EQ(tunnel->deferredOps().Lookup(G, NO_SOURCE_FILTER, Port(5004)), pending);
  tunnel->rptSendCmdAcrossTunnel(0, SECOND, LEAVE, G, NO_SOURCE_FILTER, Port(5004), 255);
  EXPECT_EQ(commandsAt(peer), Bytes{});
}

TEST_F(UDPtunnelTest, DestructionCancelsTimersAndReleasesGroupsocks) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  unsigned const G2 = addr("239.1.2.4");
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::LOCAL);  // local: JOIN repeats
  tunnel->joinGroup(G2, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);  // peer's: lapses
  ASSERT_NE(TheDelayQueue->head(), nullptr);
  OurTunnels.Remove(tunnel);
  delete tunnel;
  EXPECT_EQ(TheDelayQueue->head(), nullptr);
  EXPECT_EQ(OurGroupsocks.Lookup(G2, NO_SOURCE_FILTER, Port(5004)), nullptr);
  Groupsock* local = OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004));
  ASSERT_NE(local, nullptr);  // not the tunnel's to delete
  EXPECT_EQ(local->members().numMembers(), 0);
  peer.drain();
  advanceSeconds(90);
  EXPECT_TRUE(peer.quiet());
}

TEST_F(UDPtunnelTest, TunnelsOnOnePortShareOneSocketUntilTheLastGoes) {
  UDPtunnel* first = makeTunnel(20000);
  UDPtunnel* second = makeTunnel(20001);
  UDPtunnelSocket* sock = first->tunnelSocket();
  ASSERT_EQ(second->tunnelSocket(), sock);
  EXPECT_EQ(sock->referenceCount(), 2u);
  int const fd = sock->socketNum();
  OurTunnels.Remove(first);
  delete first;
  EXPECT_EQ(sock->referenceCount(), 1u);
  EXPECT_NE(fcntl(fd, F_GETFD), -1);
  OurTunnels.Remove(second);
  delete second;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  bool isNew;
  OurTunnelSockets.Fetch(*env, Port(TUNNEL_PORT), isNew);  // swept by TearDown
  EXPECT_TRUE(isNew);
}

TEST_F(UDPtunnelTest, LocallyOnlyTunnelRelaysOnlyThisHostsTraffic) {
  UDPtunnel* tunnel = makeTunnel(20000);
  tunnel->setTunnelLocallyOnly(true);
  EXPECT_TRUE(tunnel->SourceAddrOKForRelaying(*env, ourIPAddress(*env)));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tunnel->SourceAddrOKForRelaying(*env, addr("10.0.0.9")));
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              testing::EndsWith(" UDPtunnel(->10.99.0.2:20000): ignoring received multicast "
                                "packet from non-local source: 10.0.0.9\n"));
  EXPECT_EQ(resultMsg(), "");
}

TEST_F(UDPtunnelTest, GroupTrafficCrossesTheTunnelWithTrailerAndCookies) {
  UDPtunnel* tunnel = makeTunnel(20000);
  PeerSocket peer(20000);
  tunnel->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  Groupsock* groupsock = OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004));
  ASSERT_NE(groupsock, nullptr);
  sendMulticast({'a', 'b', 'c'}, "239.1.2.3", 5004, testsupport::OWN_ADDRESS);
  ASSERT_TRUE(readable(groupsock->socketNum(), WAIT_MS));
  socketReadHandler(static_cast<Socket*>(groupsock), TaskScheduler::READABLE);
  Bytes const relayed = Bytes{'a', 'b', 'c'} + cookieBytes(tunnel->localCookie()) +
                        cookieBytes(tunnel->remoteCookie()) +
                        Bytes{0xEF, 0x01, 0x02, 0x03, 0x13, 0x8C, 0x10, DATA};
  EXPECT_EQ(peer.receive(), relayed);
  EXPECT_EQ(tunnel->outgoingStats().byteCount(), 15.0f);
}

// Multicast from the peer's own address tears down every tunnel to that
// address from inside the groupsock's relay loop; the tunnels delete the
// tunnel-owned groupsock that is iterating over them. AddressSanitizer
// watches that nothing deleted is touched, at DebugLevel 1 (the loop stops
// at the first tear-down) and at -1 (no message: the loop goes on to the
// member after it).
class RelayTearDownTest : public UDPtunnelTest, public testing::WithParamInterface<int> {};

TEST_P(RelayTearDownTest, MulticastFromThePeerTearsTunnelsDownInsideTheRelay) {
  UDPtunnel::DebugLevel = GetParam();
  PeerSocket peerA(20001), peerB(20002);
  UDPtunnel* a = makeTunnel(20001);
  UDPtunnel* b = makeTunnel(20002);
  a->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  b->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  Groupsock* groupsock = OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004));
  ASSERT_NE(groupsock, nullptr);
  int const fd = groupsock->socketNum();

  sendMulticast({'m'}, "239.1.2.3", 5004, testsupport::PEER_ADDRESS);
  ASSERT_TRUE(readable(fd, WAIT_MS));
  socketReadHandler(static_cast<Socket*>(groupsock), TaskScheduler::READABLE);

  unsigned const peer = addr(testsupport::PEER_ADDRESS);
  int const left = (OurTunnels.Lookup(peer, Port(20001)) != nullptr) +
                   (OurTunnels.Lookup(peer, Port(20002)) != nullptr);
  Bytes const tearDown = {0, 0, 0, 0, 0, 0, 0, TEAR_DOWN};
  auto torn = [&](PeerSocket& p) {
    auto d = p.receive(QUIET_MS);
    return d && d->size() == 12 && Bytes(d->begin() + 4, d->end()) == tearDown;
  };
  int const tornDown = torn(peerA) + torn(peerB);
  if (GetParam() >= 0) {
    EXPECT_EQ(backgroundErrors(), "tunnelTearDown 10.99.0.2mcastFromEndpoint\n");
    EXPECT_EQ(left, 1);  // the relay stopped at the first
    EXPECT_EQ(tornDown, 1);
    EXPECT_EQ(OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004)), groupsock);
  } else {
    EXPECT_EQ(backgroundErrors(), "");
    EXPECT_EQ(left, 0);
    EXPECT_EQ(tornDown, 2);
    EXPECT_EQ(OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004)), nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // deleted once its loop was over
  }
}

TEST_P(RelayTearDownTest, MemberAfterASilentTearDownStillGetsTheDatagram) {
  UDPtunnel::DebugLevel = GetParam();
  PeerSocket peerA(20001), bystander(20003, "127.0.0.1");
  UDPtunnel* a = makeTunnel(20001);
  UDPtunnel* other = makeTunnel(20003, "127.0.0.1");
  a->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  other->joinGroup(G, NO_SOURCE_FILTER, Port(5004), 16, JoinMode::PEER);
  Groupsock* groupsock = OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004));
  ASSERT_NE(groupsock, nullptr);

  sendMulticast({'m'}, "239.1.2.3", 5004, testsupport::PEER_ADDRESS);
  ASSERT_TRUE(readable(groupsock->socketNum(), WAIT_MS));
  socketReadHandler(static_cast<Socket*>(groupsock), TaskScheduler::READABLE);

  EXPECT_EQ(OurTunnels.Lookup(addr(testsupport::PEER_ADDRESS), Port(20001)), nullptr);
  EXPECT_EQ(OurGroupsocks.Lookup(G, NO_SOURCE_FILTER, Port(5004)), groupsock);
  EXPECT_EQ(groupsock->members().numMembers(), 1);
  auto relayed = bystander.receive(QUIET_MS);
  if (GetParam() < 0) {
    EXPECT_TRUE(relayed);  // whichever came first, the relay reached it
  }
  if (relayed) {
    EXPECT_EQ(relayed->size(), 13u);
  }
}

INSTANTIATE_TEST_SUITE_P(DebugLevel, RelayTearDownTest, testing::Values(1, -1));

}  // namespace
}  // namespace tunneltest
