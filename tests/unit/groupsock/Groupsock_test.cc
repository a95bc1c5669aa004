// Groupsock: the relay and its trailer, loop-back recognition, the source
// filter, destination changes, deletion from inside the relay, and the
// trace and failure texts. Real sockets in the test's own namespace, where
// this host is 10.99.0.1.
#include "groupsock/Groupsock.hh"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <string>

#include "groupsock/OurIPAddress.hh"
#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/GroupsockTestSupport.hh"

using namespace gstest;

namespace {

constexpr char const* GROUP = "239.1.2.3";
constexpr char const* GROUP2 = "239.1.2.4";
constexpr char const* SSM_GROUP = "232.1.2.3";
constexpr char const* SOURCE = "10.99.0.2";
constexpr unsigned short PORT = 5004;  // 0x13 0x8C

unsigned char buffer[IO_BUFFER_SIZE];

// The relay trailer that a groupsock should append: [source], two zeroed
// cookies, destination, port, ttl, DATA or SSM_DATA.
Bytes trailer(char const* source, char const* dest, unsigned short port, uint8_t ttl) {
  Bytes t;
  auto put32 = [&t](unsigned a) {
    auto const* p = reinterpret_cast<uint8_t const*>(&a);
    t.insert(t.end(), p, p + 4);
  };
  if (source != nullptr) put32(addr(source));
  t.insert(t.end(), 4, 0);
  put32(addr(dest));
  t.push_back(static_cast<uint8_t>(port >> 8));
  t.push_back(static_cast<uint8_t>(port & 0xFF));
  t.push_back(ttl);
  t.push_back(source != nullptr ? 0x81 : 0x01);
  return t;
}

Bytes operator+(std::string const& payload, Bytes const& tail) {
  Bytes b(payload.begin(), payload.end());
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

class GroupsockTest : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_NETNS(); }

  std::unique_ptr<Groupsock> anySource(char const* group = GROUP, unsigned char ttl = 16) {
    auto groupsock = std::make_unique<Groupsock>(env, inAddr(group), Port(PORT), ttl);
    limitReadWait(groupsock->socketNum());
    return groupsock;
  }
  std::unique_ptr<Groupsock> sourceSpecific() {
    auto groupsock =
        std::make_unique<Groupsock>(env, inAddr(SSM_GROUP), inAddr(SOURCE), Port(PORT));
    limitReadWait(groupsock->socketNum());
    return groupsock;
  }

  // One handleRead into the shared-size buffer; the payload read.
  std::string read(Groupsock& groupsock) {
    unsigned bytesRead = 99;
    EXPECT_TRUE(groupsock.handleRead(buffer, sizeof buffer, bytesRead, from));
    return std::string(reinterpret_cast<char*>(buffer), bytesRead);
  }

  TestEnv env;
  sockaddr_in from{};
};

// Test that accepting members get the payload with the trailer appended in
// place, byte for byte, that a member declining without a message is
// skipped, and that time-to-live 0 relays nothing and touches nothing.
TEST_F(GroupsockTest, RelayAppendsTheTrailerOnceBehindThePayload) {
  for (bool ssm : {false, true}) {
    SCOPED_TRACE(ssm ? "source-specific" : "any source");
    auto groupsock = ssm ? sourceSpecific() : anySource();
    StubMember a(env), b(env), c(env);
    for (StubMember* m : {&a, &b, &c}) groupsock->members().Add(m);
    std::vector<StubMember*> order = relayOrder(*groupsock);
    order[1]->answer = StubMember::DECLINE;

    unsigned char raw[64];
    std::memset(raw, 0xEE, sizeof raw);
    unsigned char* data = raw + 1;  // the trailer's fields land at odd addresses
    std::memcpy(data, "hello", 5);
    EXPECT_EQ(groupsock->outputToAllMembersExcept(nullptr, 0, data, 5, 0), 0);
    EXPECT_TRUE(order[1]->askedFor.empty());
    EXPECT_EQ(data[5], 0xEE);
    EXPECT_EQ(groupsock->outputToAllMembersExcept(nullptr, 7, data, 5, addr("10.99.0.7")), 2);

    Bytes expected = "hello" + trailer(ssm ? SOURCE : nullptr, ssm ? SSM_GROUP : GROUP, PORT, 7);
    EXPECT_EQ(expected.size(), ssm ? 21u : 17u);
    EXPECT_EQ(order[0]->written, std::vector<Bytes>{expected});
    EXPECT_TRUE(order[1]->written.empty());
    EXPECT_EQ(order[1]->askedFor, std::vector<unsigned>{addr("10.99.0.7")});
    EXPECT_EQ(order[2]->written, std::vector<Bytes>{expected});
    EXPECT_EQ(Bytes(data, data + expected.size()), expected);  // in the caller's buffer
  }
}

// Test that a refusal with a result message stops the relay as an error,
// and one without lets it go on, also when a message of earlier work is
// still standing.
TEST_F(GroupsockTest, RefusalWithAMessageStopsTheRelay) {
  struct Case {
    StubMember::Answer answer;
    char const* earlierMessage;
    int result;
  } const cases[] = {
      {StubMember::DECLINE, "", 1},
      {StubMember::DECLINE, "left over", 1},
      {StubMember::FAIL, "", -1},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.earlierMessage);
    auto groupsock = anySource();
    StubMember first(env), second(env);
    groupsock->members().Add(&first);
    groupsock->members().Add(&second);
    std::vector<StubMember*> order = relayOrder(*groupsock);
    order[0]->answer = c.answer;
    env.result = c.earlierMessage;
    unsigned char data[32] = "x";
    EXPECT_EQ(groupsock->outputToAllMembersExcept(nullptr, 5, data, 1, 0), c.result);
    EXPECT_EQ(order[1]->written.size(), c.result > 0 ? 1u : 0u);
  }
}

// Test that a member tearing itself down from inside the relay, and asking
// for the deletion of the relaying groupsock, is safe: with a message the
// relay stops, without one it serves the members after it; either way the
// groupsock is deleted once the relay is over, and nothing of it or of the
// member is touched afterwards (AddressSanitizer watches), also when the
// event loop has read a batch of datagrams of which the first one does it:
// the rest of the batch goes with the groupsock.
TEST_F(GroupsockTest, MemberTearingDownInsideTheRelayDeletesTheGroupsockSafely) {
  for (char const* via : {"read", "batch", "output"}) {
    for (bool withMessage : {true, false}) {
      SCOPED_TRACE(std::string(via) + (withMessage ? ", message" : ""));
      bool const viaRead = via[0] != 'o';
      env.result.clear();
      env.backgroundErrors.clear();
      Groupsock* groupsock = anySource().release();
      int const sock = groupsock->socketNum();
      for (int i = 0; i < 3; ++i) groupsock->members().Add(new StubMember(env));
      // Whatever the hash order, the first member visited tears down, so
      // that two members come after it.
      std::vector<StubMember*> order = relayOrder(*groupsock);
      order[0]->answer = withMessage ? StubMember::FAIL : StubMember::DECLINE;
      order[0]->tearDownFrom = groupsock;

      if (viaRead) {
        PlainSocket sender;
        for (char const* payload : {"bye", "two", "three"}) sender.send(payload, "127.0.0.1", PORT);
        unsigned bytesRead;
        if (via[0] == 'b') {
          socketReadHandler(static_cast<Socket*>(groupsock), TaskScheduler::READABLE);
        } else {
          EXPECT_TRUE(groupsock->handleRead(buffer, sizeof buffer, bytesRead, from));
        }
        // The tear-down is reported here: the caller may not touch the groupsock.
        EXPECT_EQ(env.backgroundErrors, withMessage ? std::vector<std::string>{"member failed"}
                                                    : std::vector<std::string>{});
      } else {
        unsigned char data[32] = "bye";
        EXPECT_FALSE(groupsock->output(env, 16, data, 3, nullptr));
      }

      EXPECT_FALSE(isOpen(sock));  // deleted, exactly when the relay ended
      for (StubMember* m : {order[1], order[2]}) {
        EXPECT_EQ(m->written.size(), withMessage ? 0u : 1u);
        delete m;
      }
    }
  }
}

// Test that once one of our own looped-back datagrams has reached the
// background reader, the kernel keeps the next ones out of the socket,
// while another sender's still come in and another socket of this host
// joined to the group still gets ours; at DebugLevel 3, and for a read of
// the groupsock's own (handleRead), they come in again.
TEST_F(GroupsockTest, OwnDatagramsAreKeptFromTheBackgroundReader) {
  auto groupsock = anySource();
  auto listener = anySource();  // a local receiver of the group
  auto waiting = [&groupsock] {
    pollfd p{groupsock->socketNum(), POLLIN, 0};
    return poll(&p, 1, 200) == 1;
  };
  auto send = [&](char const* text) {
    unsigned char data[32];
    std::memcpy(data, text, std::strlen(text));
    ASSERT_TRUE(groupsock->output(env, 1, data, static_cast<unsigned>(std::strlen(text)), nullptr));
  };
  send("one");
  ASSERT_TRUE(waiting());
  socketReadHandler(static_cast<Socket*>(groupsock.get()), TaskScheduler::READABLE);
  send("two");
  EXPECT_FALSE(waiting());  // dropped in the kernel
  EXPECT_EQ(read(*listener), "one");
  EXPECT_EQ(read(*listener), "two");

  PlainSocket other(testsupport::OWN_ADDRESS);
  other.send("theirs", GROUP, PORT);
  ASSERT_TRUE(waiting());
  socketReadHandler(static_cast<Socket*>(groupsock.get()), TaskScheduler::READABLE);
  EXPECT_EQ(groupsock->incomingStats().packetCount(), 1);

  {
    DebugLevelGuard level(3);
    send("traced");
    EXPECT_TRUE(waiting());
    socketReadHandler(static_cast<Socket*>(groupsock.get()), TaskScheduler::READABLE);
    EXPECT_NE(env.trace.find(": read 6 bytes from 10.99.0.1\n"), std::string::npos) << env.trace;
  }
  send("again");  // and kept out again
  socketReadHandler(static_cast<Socket*>(groupsock.get()), TaskScheduler::READABLE);
  send("more");
  EXPECT_FALSE(waiting());
  other.send("theirs", GROUP, PORT);
  EXPECT_EQ(read(*groupsock), "theirs");  // a reader of the groupsock's own, from now on
  send("three");
  EXPECT_EQ(read(*groupsock), "three");
}

// Test that a datagram the groupsock sent to its own group comes back to
// it uncounted and unrelayed, while one from another sender of this host is
// counted and relayed.
TEST_F(GroupsockTest, OwnLoopedBackDatagramIsNeitherCountedNorRelayed) {
  auto groupsock = anySource();
  StubMember member(env);
  groupsock->members().Add(&member);
  unsigned char data[32] = "mine";
  ASSERT_TRUE(groupsock->output(env, 1, data, 4, nullptr));
  ASSERT_EQ(member.written.size(), 1u);  // output relays too
  float const incoming = Groupsock::statsIncoming.packetCount();

  EXPECT_EQ(read(*groupsock), "mine");
  EXPECT_EQ(from.sin_addr.s_addr, ourIPAddress(env));
  EXPECT_EQ(Groupsock::statsIncoming.packetCount(), incoming);
  EXPECT_EQ(groupsock->incomingStats().packetCount(), 0);
  EXPECT_EQ(member.written.size(), 1u);

  PlainSocket other(testsupport::OWN_ADDRESS);
  other.send("theirs", GROUP, PORT);
  EXPECT_EQ(read(*groupsock), "theirs");
  EXPECT_EQ(Groupsock::statsIncoming.packetCount(), incoming + 1);
  EXPECT_EQ(groupsock->relayedIncomingStats().byteCount(), 6);
  ASSERT_EQ(member.written.size(), 2u);
  EXPECT_EQ(member.written[1], "theirs" + trailer(nullptr, GROUP, PORT, 16));
}

// Test that a source-specific groupsock drops datagrams of other senders.
TEST_F(GroupsockTest, SourceSpecificGroupDropsOtherSenders) {
  auto groupsock = sourceSpecific();
  StubMember member(env);
  groupsock->members().Add(&member);
  float const incoming = Groupsock::statsIncoming.packetCount();

  PlainSocket other(testsupport::OWN_ADDRESS), source(SOURCE);
  other.send("other", testsupport::OWN_ADDRESS, PORT);
  EXPECT_EQ(read(*groupsock), "");
  EXPECT_TRUE(member.askedFor.empty());
  EXPECT_EQ(Groupsock::statsIncoming.packetCount(), incoming);

  source.send("source", testsupport::OWN_ADDRESS, PORT);
  EXPECT_EQ(read(*groupsock), "source");
  EXPECT_EQ(member.written, std::vector<Bytes>{"source" + trailer(SOURCE, SSM_GROUP, PORT, 255)});
}

// Test that an empty datagram is a datagram (counted, relayed as a bare
// trailer), while a read that finds nothing is not.
TEST_F(GroupsockTest, EmptyDatagramIsRelayedButNothingWaitingIsNot) {
  auto groupsock = anySource();
  StubMember member(env);
  groupsock->members().Add(&member);
  float const incoming = Groupsock::statsIncoming.packetCount();

  PlainSocket sender;
  sender.send("", "127.0.0.1", PORT);
  EXPECT_EQ(read(*groupsock), "");
  EXPECT_EQ(Groupsock::statsIncoming.packetCount(), incoming + 1);
  EXPECT_EQ(member.written, std::vector<Bytes>{trailer(nullptr, GROUP, PORT, 16)});

  fcntl(groupsock->socketNum(), F_SETFL, O_NONBLOCK);
  EXPECT_EQ(read(*groupsock), "");
  EXPECT_EQ(Groupsock::statsIncoming.packetCount(), incoming + 1);
  EXPECT_EQ(member.askedFor.size(), 1u);
}

// Test that two groups on one port each reach only their own groupsock.
TEST_F(GroupsockTest, TwoGroupsOnOnePortReadOnlyTheirOwn) {
  auto first = anySource(GROUP), second = anySource(GROUP2);
  PlainSocket sender;
  sender.send("one", GROUP, PORT);
  sender.send("two", GROUP2, PORT);
  EXPECT_EQ(read(*first), "one");
  EXPECT_EQ(read(*second), "two");
  pollfd both[] = {{first->socketNum(), POLLIN, 0}, {second->socketNum(), POLLIN, 0}};
  EXPECT_EQ(poll(both, 2, 0), 0);
}

// Test that output skips the except-interface, and the trace lines at
// level 3.
TEST_F(GroupsockTest, OutputSkipsTheInterfaceNotToForwardBackTo) {
  DebugLevelGuard level(3);
  auto groupsock = anySource();
  StubMember member(env);
  groupsock->members().Add(&member);
  float const outgoing = Groupsock::statsOutgoing.packetCount();
  unsigned char data[32] = "back";

  ASSERT_TRUE(groupsock->output(env, 5, data, 4, &member));
  EXPECT_TRUE(member.askedFor.empty());
  EXPECT_EQ(Groupsock::statsOutgoing.packetCount(), outgoing + 1);
  EXPECT_EQ(groupsock->outgoingStats().byteCount(), 4);
  EXPECT_NE(env.trace.find("): wrote 4 bytes, ttl 5\n"), std::string::npos) << env.trace;

  ASSERT_TRUE(groupsock->output(env, 5, data, 4, nullptr));
  EXPECT_NE(env.trace.find("): wrote 4 bytes, ttl 5; relayed to 1 members\n"), std::string::npos);

  PlainSocket sender;
  sender.send("hi", "127.0.0.1", PORT);
  // Its own two datagrams come back first.
  for (int i = 0; i < 3 && read(*groupsock) != "hi"; ++i) {
  }
  EXPECT_NE(env.trace.find("): read 2 bytes from 10.99.0.1; relayed to 1 members\n"),
            std::string::npos)
      << env.trace;
}

// Test that a datagram from one member goes to the others with its
// time-to-live one less (none when that reaches 0), and to none under split
// horizon, while the group itself always gets the time-to-live it came with.
// Without this, a cycle of tunnels carries a datagram round for ever.
TEST_F(GroupsockTest, RelayFromAMemberLowersTheTimeToLive) {
  DebugLevelGuard level(3);
  auto groupsock = anySource();
  StubMember source(env), other(env);
  groupsock->members().Add(&source);
  groupsock->members().Add(&other);
  unsigned char data[32] = "loop";

  ASSERT_TRUE(groupsock->output(env, 5, data, 4, &source));
  ASSERT_EQ(other.written.size(), 1u);
  EXPECT_EQ(other.written[0], "loop" + trailer(nullptr, GROUP, PORT, 4));
  EXPECT_TRUE(source.written.empty());

  env.trace.clear();
  ASSERT_TRUE(groupsock->output(env, 1, data, 4, &source));
  EXPECT_EQ(other.written.size(), 1u);  // 1 - 1 = 0: the relay ends here
  EXPECT_NE(env.trace.find("): wrote 4 bytes, ttl 1\n"), std::string::npos) << env.trace;

  Groupsock::splitHorizon = true;
  env.trace.clear();
  ASSERT_TRUE(groupsock->output(env, 5, data, 4, &source));
  EXPECT_EQ(other.written.size(), 1u);
  EXPECT_NE(env.trace.find("): wrote 4 bytes, ttl 5\n"), std::string::npos) << env.trace;
  // What this host sends itself still goes to every member, unchanged.
  ASSERT_TRUE(groupsock->output(env, 5, data, 4, nullptr));
  Groupsock::splitHorizon = false;
  ASSERT_EQ(other.written.size(), 2u);
  EXPECT_EQ(other.written[1], "loop" + trailer(nullptr, GROUP, PORT, 5));
  EXPECT_EQ(source.written.size(), 1u);
}

// Test that a unicast destination is sent to without leaving the group,
// and that it becomes the trailer's address.
TEST_F(GroupsockTest, UnicastDestinationKeepsTheGroup) {
  auto groupsock = anySource();
  StubMember member(env);
  groupsock->members().Add(&member);
  PlainSocket receiver(SOURCE, PORT);
  groupsock->changeDestinationParameters(inAddr(SOURCE), Port(0), -1);

  unsigned char data[32] = "moved";
  ASSERT_TRUE(groupsock->output(env, 16, data, 5, nullptr));
  EXPECT_EQ(receiver.receive(), "moved");
  EXPECT_EQ(member.written, std::vector<Bytes>{"moved" + trailer(nullptr, SOURCE, PORT, 16)});

  PlainSocket sender;
  sender.send("still", GROUP, PORT);
  EXPECT_EQ(read(*groupsock), "still");
  EXPECT_EQ(groupsock->groupAddress().s_addr, addr(GROUP));
}

// Test that a multicast destination moves the membership to the new group
// on the same socket.
TEST_F(GroupsockTest, MulticastDestinationMovesTheMembership) {
  auto groupsock = anySource(GROUP, 16);
  int const sock = groupsock->socketNum();
  groupsock->changeDestinationParameters(inAddr(GROUP2), Port(0), 9);
  EXPECT_EQ(groupsock->socketNum(), sock);
  EXPECT_EQ(groupsock->destinations()->groupEId.groupAddress().s_addr, addr(GROUP2));
  EXPECT_EQ(groupsock->destinations()->groupEId.scope().ttl(), 9);
  EXPECT_EQ(groupsock->ttl(), 16);

  PlainSocket sender;
  sender.send("old", GROUP, PORT);
  sender.send("new", GROUP2, PORT);
  EXPECT_EQ(read(*groupsock), "new");
}

// Test that a new destination port rebinds the socket under its old
// descriptor number, even when the system hands out another one.
TEST_F(GroupsockTest, NewDestinationPortKeepsTheDescriptorNumber) {
  int const hole = socket(AF_INET, SOCK_DGRAM, 0);
  auto groupsock = anySource();
  int const sock = groupsock->socketNum();
  ASSERT_GT(sock, hole);
  close(hole);  // the lowest free number is now below the groupsock's

  groupsock->changeDestinationParameters(inAddr("0.0.0.0"), Port(PORT + 1), -1);
  EXPECT_EQ(groupsock->socketNum(), sock);
  EXPECT_FALSE(isOpen(hole));
  EXPECT_EQ(boundPort(sock), PORT + 1);
  EXPECT_EQ(groupsock->port().num(), Port(PORT).num());
  EXPECT_EQ(groupsock->destinations()->port.num(), Port(PORT + 1).num());

  limitReadWait(sock);
  PlainSocket sender;
  sender.send("rebound", GROUP, PORT + 1);
  EXPECT_EQ(read(*groupsock), "rebound");
}

// Test the failure texts of reading and writing, prefixed at level 0 and
// up, bare below; a failed send counts nothing.
TEST_F(GroupsockTest, FailuresCarryThePrefixFromLevelZero) {
  for (int debugLevel : {0, -1}) {
    SCOPED_TRACE(debugLevel);
    DebugLevelGuard level(debugLevel);
    auto groupsock = anySource();
    groupsock->reset();
    std::string const read = debugLevel >= 0 ? "Groupsock read failed: " : "";
    std::string const write = debugLevel >= 0 ? "Groupsock write failed: " : "";

    unsigned bytesRead;
    EXPECT_FALSE(groupsock->handleRead(buffer, sizeof buffer, bytesRead, from));
    EXPECT_EQ(env.result.rfind(read + "recvfrom() error: ", 0), 0u) << env.result;

    unsigned char data[32] = "x";
    EXPECT_FALSE(groupsock->output(env, 3, data, 1, nullptr));
    EXPECT_EQ(env.result.rfind(write + "setsockopt(IP_MULTICAST_TTL) error: ", 0), 0u)
        << env.result;
    EXPECT_EQ(groupsock->outgoingStats().packetCount(), 0);
  }
}

}  // namespace
