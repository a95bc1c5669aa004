// The socket helpers, on real sockets inside the test's own network
// namespace (10.99.0.1 on vt0, 10.99.0.2 on vt1, groups routed via vt0).
#include "groupsock/SocketHelpers.hh"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "groupsock/GroupsockPrivate.hh"
#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/InterpEnv.hh"

namespace {

// While armed, the setsockopt below records every SO_RCVBUF size asked for
// and refuses those above refuseAbove, as a system with a lower limit would
// (as root, Linux clamps instead of refusing).
struct RcvbufRefusal {
  bool armed = false;
  unsigned refuseAbove = 0;
  std::vector<unsigned> attempts;
} refusal;

}  // namespace

// Stands in for the C library's setsockopt in this test binary: every call
// passes through, except SO_RCVBUF sizes that an armed refusal turns down.
extern "C" int setsockopt(int fd, int level, int name, void const* value,
                          socklen_t length) noexcept {
  using Real = int (*)(int, int, int, void const*, socklen_t);
  static Real const real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "setsockopt"));
  if (refusal.armed && level == SOL_SOCKET && name == SO_RCVBUF) {
    unsigned size;
    std::memcpy(&size, value, sizeof size);
    refusal.attempts.push_back(size);
    if (size > refusal.refuseAbove) {
      errno = ENOBUFS;
      return -1;
    }
  }
  return real(fd, level, name, value, length);
}

namespace {

constexpr char const* UNTOUCHED = "untouched";
unsigned const OWN = inet_addr(testsupport::OWN_ADDRESS);
unsigned const PEER = inet_addr(testsupport::PEER_ADDRESS);

unsigned addr(char const* dotted) { return inet_addr(dotted); }

bool startsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0 && text.size() > prefix.size();
}

int intOption(int sock, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  getsockopt(sock, level, name, &value, &size);
  return value;
}

sockaddr_in localName(int sock) {
  sockaddr_in name{};
  socklen_t size = sizeof name;
  getsockname(sock, reinterpret_cast<sockaddr*>(&name), &size);
  return name;
}

class SocketHelpersTest : public testing::Test {
 protected:
  void SetUp() override { env.setResultMsg(UNTOUCHED); }
  void TearDown() override {
    SendingInterfaceAddr = ReceivingInterfaceAddr = 0;
    refusal = RcvbufRefusal();
    for (int fd : fds) close(fd);
  }

  std::string result() const { return env.getResultMsg(); }

  int keep(int fd) {
    if (fd >= 0) fds.push_back(fd);
    return fd;
  }

  // A socket from setupDatagramSocket with the interface settings given,
  // closed after the test.
  int datagramSocket(unsigned short port = 0, unsigned receiving = 0, unsigned sending = 0) {
    ReceivingInterfaceAddr = receiving;
    SendingInterfaceAddr = sending;
    int sock = keep(setupDatagramSocket(env, Port(port)));
    ReceivingInterfaceAddr = SendingInterfaceAddr = 0;
    return sock;
  }

  // A sender from address whose multicast leaves by vt0: left to itself,
  // Linux sends from 10.99.0.2 out of vt1, and the copy coming in on vt0
  // is dropped as a martian.
  int senderFrom(unsigned address) { return datagramSocket(0, address, OWN); }

  // The read end of a pipe: a descriptor that is not a socket.
  int notASocket() {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    keep(ends[1]);
    return keep(ends[0]);
  }

  bool sendText(int sock, char const* address, unsigned short port, std::string const& text) {
    in_addr dest{addr(address)};
    std::vector<unsigned char> bytes(text.begin(), text.end());
    return writeSocket(env, sock, dest, Port(port), 1, bytes.data(), unsigned(bytes.size()));
  }

  // The next datagram on sock, waited for two seconds at most, or what
  // happened instead.
  std::string nextDatagram(int sock, sockaddr_in& from) {
    pollfd pfd{sock, POLLIN, 0};
    if (poll(&pfd, 1, 2000) <= 0) return "(nothing arrived)";
    unsigned char buffer[100];
    int bytesRead = readSocket(env, sock, buffer, sizeof buffer, from);
    if (bytesRead <= 0) return "(readSocket returned " + std::to_string(bytesRead) + ")";
    return std::string(reinterpret_cast<char*>(buffer), bytesRead);
  }

  // True when nothing more is queued on sock.
  bool drained(int sock) {
    makeSocketNonBlocking(sock);
    unsigned char buffer[100];
    sockaddr_in from;
    return readSocket(env, sock, buffer, sizeof buffer, from) == 0;
  }

  InterpEnv ie;
  UsageEnvironment& env = ie.env;
  std::vector<int> fds;
};

TEST_F(SocketHelpersTest, DatagramSocketOptions) {
  REQUIRE_NETNS();
  int sock = datagramSocket();
  ASSERT_GE(sock, 0) << result();
  EXPECT_TRUE(fcntl(sock, F_GETFD) & FD_CLOEXEC);
  EXPECT_FALSE(fcntl(sock, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(intOption(sock, SOL_SOCKET, SO_REUSEADDR), 1);
  // Not on Linux: a multicast datagram would go to one socket of the port.
  EXPECT_EQ(intOption(sock, SOL_SOCKET, SO_REUSEPORT), 0);
  EXPECT_EQ(intOption(sock, IPPROTO_IP, IP_MULTICAST_LOOP), 1);
  EXPECT_EQ(intOption(sock, IPPROTO_IP, IP_MULTICAST_ALL), 0);
  EXPECT_EQ(env.groupsockPriv, nullptr) << "reading the reuse flag left a record behind";
  {
    NoReuse guard(env);
    int lonely = datagramSocket();
    EXPECT_EQ(intOption(lonely, SOL_SOCKET, SO_REUSEADDR), 0);
    EXPECT_EQ(intOption(lonely, SOL_SOCKET, SO_REUSEPORT), 0);
  }
  in_addr interface {};
  socklen_t size = sizeof interface;
  getsockopt(datagramSocket(0, 0, PEER), IPPROTO_IP, IP_MULTICAST_IF, &interface, &size);
  EXPECT_EQ(interface.s_addr, PEER);
  EXPECT_EQ(result(), UNTOUCHED);
}

TEST_F(SocketHelpersTest, DatagramSocketBinding) {
  REQUIRE_NETNS();
  constexpr int ANY_PORT = -1;
  struct Case {
    unsigned short port;
    unsigned receiving;
    unsigned boundAddress;
    int boundPort;  // 0: not bound at all
  } const cases[] = {
      {0, 0, 0, 0},
      {0, PEER, PEER, ANY_PORT},
      {9001, 0, 0, 9001},
      {9002, PEER, 0, 9002},  // a port always binds all addresses
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.port);
    sockaddr_in name = localName(datagramSocket(c.port, c.receiving));
    EXPECT_EQ(name.sin_addr.s_addr, c.boundAddress);
    if (c.boundPort == ANY_PORT) {
      EXPECT_NE(name.sin_port, 0);
    } else {
      EXPECT_EQ(ntohs(name.sin_port), c.boundPort);
    }
  }
}

TEST_F(SocketHelpersTest, BindFailureNamesThePortAndClosesTheSocket) {
  REQUIRE_NETNS();
  int holder = keep(socket(AF_INET, SOCK_DGRAM, 0));  // does not share port 9000
  sockaddr_in name{};
  name.sin_family = AF_INET;
  name.sin_port = htons(9000);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&name), sizeof name), 0);

  struct Case {
    unsigned short port;
    char const* receiving;
    char const* message;
  } const cases[] = {
      {9000, "0.0.0.0", "bind() error (port number: 9000): "},
      {0, "10.99.0.77", "bind() error (port number: 0): "},  // not an address of ours
  };
  for (Case const& c : cases) {
    int nextDescriptor = dup(0);  // the number the new socket will get
    close(nextDescriptor);
    EXPECT_EQ(datagramSocket(c.port, addr(c.receiving)), -1);
    EXPECT_TRUE(startsWith(result(), c.message)) << result();
    EXPECT_EQ(fcntl(nextDescriptor, F_GETFD), -1) << "the failed socket was left open";
  }
}

TEST_F(SocketHelpersTest, ReadSocketOutcomes) {
  REQUIRE_NETNS();
  int receiver = datagramSocket(9010);
  int sender = datagramSocket(0, addr("127.0.0.1"));
  sockaddr_in from;
  ASSERT_TRUE(sendText(sender, "127.0.0.1", 9010, "abc")) << result();
  EXPECT_EQ(nextDatagram(receiver, from), "abc");
  EXPECT_EQ(from.sin_addr.s_addr, addr("127.0.0.1"));
  EXPECT_EQ(from.sin_port, localName(sender).sin_port);

  // Nothing queued on a non-blocking socket: 0, and no sender.
  makeSocketNonBlocking(receiver);
  unsigned char buffer[100];
  std::memset(&from, 0xFF, sizeof from);
  EXPECT_EQ(readSocket(env, receiver, buffer, sizeof buffer, from), 0);
  EXPECT_EQ(from.sin_addr.s_addr, 0u);

  // An empty datagram is no datagram.
  ASSERT_TRUE(sendText(sender, "127.0.0.1", 9010, "")) << result();
  EXPECT_EQ(nextDatagram(receiver, from), "(readSocket returned -1)");

  // A send to a port nobody listens on comes back as a refusal on the next
  // read: the peer's absence, not a failure of this socket.
  int refused = datagramSocket();
  sockaddr_in nobody{};
  nobody.sin_family = AF_INET;
  nobody.sin_addr.s_addr = addr("127.0.0.1");
  nobody.sin_port = htons(9);
  ASSERT_EQ(connect(refused, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody), 0);
  ASSERT_TRUE(sendText(refused, "127.0.0.1", 9, "anyone?")) << result();
  pollfd errorWait{refused, POLLIN, 0};
  ASSERT_EQ(poll(&errorWait, 1, 2000), 1);
  ASSERT_TRUE(errorWait.revents & POLLERR);
  std::memset(&from, 0xFF, sizeof from);
  EXPECT_EQ(readSocket(env, refused, buffer, sizeof buffer, from), 0);
  EXPECT_EQ(from.sin_addr.s_addr, 0u);
  EXPECT_EQ(result(), UNTOUCHED);

  EXPECT_LT(readSocket(env, notASocket(), buffer, sizeof buffer, from), 0);
  EXPECT_TRUE(startsWith(result(), "recvfrom() error: ")) << result();
}

TEST_F(SocketHelpersTest, WriteSocketOutcomes) {
  REQUIRE_NETNS();
  int sock = datagramSocket();
  unsigned char datagram[1200] = {};
  in_addr dest{addr("127.0.0.1")};
  EXPECT_TRUE(writeSocket(env, sock, dest, Port(9011), 7, datagram, sizeof datagram));
  EXPECT_EQ(intOption(sock, IPPROTO_IP, IP_MULTICAST_TTL), 7);
  EXPECT_EQ(result(), UNTOUCHED);

  dest.s_addr = addr("192.0.2.1");  // no route in this namespace: the send is refused
  EXPECT_FALSE(writeSocket(env, sock, dest, Port(9011), 7, datagram, sizeof datagram));
  EXPECT_TRUE(startsWith(result(), "writeSocket(" + std::to_string(sock) +
                                       "), sendTo() error: wrote -1 bytes instead of 1200: "))
      << result();

  EXPECT_FALSE(writeSocket(env, notASocket(), dest, Port(9011), 7, datagram, sizeof datagram));
  EXPECT_TRUE(startsWith(result(), "setsockopt(IP_MULTICAST_TTL) error: ")) << result();
}

// A datagram that cannot go out now fails at once: the event loop must not
// stop. Here the send buffer fills with datagrams held for a neighbour that
// never answers (as replies to forged sources on the WAN are); a waiting
// send would stop the gateway until the neighbour lookup gave up, seconds
// later. The socket's own send time-out bounds the wait of a send that
// still waits.
TEST_F(SocketHelpersTest, SendsNeverWait) {
  REQUIRE_NETNS();
  int sock = datagramSocket();
  setSendBufferTo(env, sock, 4096);
  timeval limit{5, 0};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  in_addr nobody{addr("10.99.0.77")};  // on vt0's network, and nobody has it
  unsigned char datagram[1000] = {};
  bool refused = false;
  auto const start = std::chrono::steady_clock::now();
  for (int i = 0; i < 30 && !refused; ++i)
    refused = !writeSocket(env, sock, nobody, Port(9), 1, datagram, sizeof datagram);
  auto const waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(refused);
  EXPECT_LT(waited, std::chrono::seconds(2));
  EXPECT_NE(result().find("resource temporarily unavailable"), std::string::npos) << result();
}

TEST_F(SocketHelpersTest, BufferSizes) {
  REQUIRE_NETNS();
  int sock = datagramSocket();
  unsigned current = setReceiveBufferTo(env, sock, 32768);
  ASSERT_EQ(current, 65536u) << "Linux reports twice the size asked for";
  EXPECT_EQ(getReceiveBufferSize(env, sock), current);

  struct Case {
    unsigned requested, refuseAbove, result;
    size_t attemptCount;
    unsigned lastAttempt;
  } const cases[] = {
      {1000, 0, 65536, 0, 0},  // already large enough: nothing is asked
      // Refused, then accepted halfway back to the current size.
      {262144, 200000, 163840, 2, 163840},
      // Refused all the way down: the size stays as it was.
      {262144, 0, 65536, 18, 65537},
      // A request near 4 GB keeps halving the gap instead of wrapping.
      {0xFFFFFFFF, 200000, 196605, 16, 196605},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.requested);
    refusal.armed = false;
    setReceiveBufferTo(env, sock, 32768);
    refusal = RcvbufRefusal{true, c.refuseAbove, {}};
    EXPECT_EQ(increaseReceiveBufferTo(env, sock, c.requested), c.result);
    ASSERT_EQ(refusal.attempts.size(), c.attemptCount);
    if (c.attemptCount > 0) {
      EXPECT_EQ(refusal.attempts.front(), c.requested);
      EXPECT_EQ(refusal.attempts.back(), c.lastAttempt);
    }
  }
  refusal.armed = false;

  // An accepted size is reported as asked, not as the system then has it.
  EXPECT_EQ(increaseSendBufferTo(env, sock, 1u << 30), 1u << 30);
  EXPECT_EQ(result(), UNTOUCHED);
  EXPECT_EQ(getReceiveBufferSize(env, notASocket()), 0u);
  EXPECT_TRUE(startsWith(result(), "getBufferSize() error: ")) << result();
}

TEST_F(SocketHelpersTest, MembershipRequests) {
  REQUIRE_NETNS();
  // Outside the routable groups nothing is asked: on an invalid descriptor
  // any request would fail.
  for (char const* group : {"224.0.0.5", "224.0.0.255", "10.99.0.2", "240.0.0.1"}) {
    EXPECT_TRUE(socketJoinGroup(env, -1, addr(group))) << group;
    EXPECT_TRUE(socketLeaveGroup(env, -1, addr(group))) << group;
    EXPECT_TRUE(socketJoinGroupSSM(env, -1, addr(group), PEER)) << group;
    EXPECT_TRUE(socketLeaveGroupSSM(env, -1, addr(group), PEER)) << group;
  }
  EXPECT_EQ(result(), UNTOUCHED);

  unsigned const group = addr("239.1.2.3"), ssmGroup = addr("232.1.1.1");
  int sock = datagramSocket(5004);
  EXPECT_TRUE(socketJoinGroup(env, sock, group)) << result();
  EXPECT_TRUE(socketLeaveGroup(env, sock, group));
  EXPECT_FALSE(socketLeaveGroup(env, sock, group)) << "the first leave did not drop it";
  EXPECT_TRUE(socketJoinGroupSSM(env, sock, ssmGroup, PEER)) << result();
  EXPECT_TRUE(socketLeaveGroupSSM(env, sock, ssmGroup, PEER));
  EXPECT_FALSE(socketLeaveGroupSSM(env, sock, ssmGroup, PEER));
  EXPECT_EQ(result(), UNTOUCHED) << "a failed leave sets no message";

  EXPECT_FALSE(socketJoinGroup(env, -1, group));
  EXPECT_TRUE(startsWith(result(), "setsockopt(IP_ADD_MEMBERSHIP) error: ")) << result();
  EXPECT_FALSE(socketJoinGroupSSM(env, -1, group, PEER));
  EXPECT_TRUE(startsWith(result(), "setsockopt(IP_ADD_SOURCE_MEMBERSHIP) error: ")) << result();
}

// In the two tests below, the datagram that must not arrive is sent first:
// had it been delivered, it would stand before the expected one.

TEST_F(SocketHelpersTest, SourceSpecificJoinAdmitsOnlyThatSource) {
  REQUIRE_NETNS();
  int receiver = datagramSocket(5006);
  int fromPeer = senderFrom(PEER), fromOwn = senderFrom(OWN);
  ASSERT_TRUE(socketJoinGroupSSM(env, receiver, addr("232.1.1.1"), PEER)) << result();

  ASSERT_TRUE(sendText(fromOwn, "232.1.1.1", 5006, "from own address")) << result();
  ASSERT_TRUE(sendText(fromPeer, "232.1.1.1", 5006, "from peer address")) << result();
  sockaddr_in from;
  EXPECT_EQ(nextDatagram(receiver, from), "from peer address");
  EXPECT_EQ(from.sin_addr.s_addr, PEER);
  EXPECT_TRUE(drained(receiver));
}

// Linux would by default hand both groups to both sockets of the port.
TEST_F(SocketHelpersTest, EachSocketReadsOnlyTheGroupsItJoined) {
  REQUIRE_NETNS();
  int socket3 = datagramSocket(5004), socket4 = datagramSocket(5004), sender = datagramSocket();
  ASSERT_TRUE(socketJoinGroup(env, socket3, addr("239.1.2.3"))) << result();
  ASSERT_TRUE(socketJoinGroup(env, socket4, addr("239.1.2.4"))) << result();

  ASSERT_TRUE(sendText(sender, "239.1.2.4", 5004, "to .4")) << result();
  ASSERT_TRUE(sendText(sender, "239.1.2.3", 5004, "to .3")) << result();
  sockaddr_in from;
  EXPECT_EQ(nextDatagram(socket3, from), "to .3");
  EXPECT_EQ(nextDatagram(socket4, from), "to .4");
  EXPECT_TRUE(drained(socket3));
  EXPECT_TRUE(drained(socket4));
}

TEST_F(SocketHelpersTest, SourcePort) {
  REQUIRE_NETNS();
  Port port(0), again(0);
  int unbound = datagramSocket();
  ASSERT_TRUE(getSourcePort(env, unbound, port)) << result();
  EXPECT_NE(port.num(), 0);
  EXPECT_EQ(localName(unbound).sin_port, port.num()) << "the socket was not bound to it";
  ASSERT_TRUE(getSourcePort(env, unbound, again));
  EXPECT_EQ(again.num(), port.num());

  ASSERT_TRUE(getSourcePort(env, datagramSocket(9004), port));
  EXPECT_EQ(ntohs(port.num()), 9004);
  EXPECT_EQ(result(), UNTOUCHED);

  EXPECT_FALSE(getSourcePort(env, notASocket(), port));
  EXPECT_TRUE(startsWith(result(), "getsockname() error: ")) << result();
}

}  // namespace
