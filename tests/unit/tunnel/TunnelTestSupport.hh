// What the tunnel tests share: an interpreter with its environment, a
// hand-moved clock behind TheDelayQueue, a test peer (a plain UDP socket on
// the second local address, 10.99.0.2) that talks to tunnel sockets byte
// for byte, a listener on a local multicast group, and the clean-up that
// leaves no tunnel, tunnel socket or groupsock behind.
//
//   10.99.0.1 (vt0): tunnel sockets, groupsocks      this "host"
//   10.99.0.2 (vt1): PeerSocket                      the remote gateways
#ifndef VELDRA_TESTS_UNIT_TUNNEL_TUNNELTESTSUPPORT_HH
#define VELDRA_TESTS_UNIT_TUNNEL_TUNNELTESTSUPPORT_HH

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <tcl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "runtime/DelayQueue.hh"
#include "runtime/TclUsageEnvironment.hh"
#include "tests/support/Endpoint.hh"
#include "tests/support/Netns.hh"
#include "tests/unit/runtime/FakeClocks.hh"
#include "tunnel/ReplyRateLimiter.hh"
#include "tunnel/TunnelEncapsulation.hh"
#include "tunnel/UDPtunnel.hh"
#include "tunnel/UDPtunnelLookupTable.hh"
#include "tunnel/UDPtunnelSocket.hh"
#include "tunnel/UDPtunnelSocketLookupTable.hh"

namespace tunneltest {

using Bytes = std::vector<uint8_t>;

constexpr unsigned short TUNNEL_PORT = 10100;  // the local tunnel socket
constexpr int WAIT_MS = 5000;                  // upper bound for a datagram on its way
constexpr int QUIET_MS = 200;                  // how long "nothing arrives" is watched

inline unsigned addr(char const* dotted) { return our_inet_addr(dotted); }

inline Bytes cookieBytes(uint16_t cookie) {
  Bytes b(2);
  std::memcpy(b.data(), &cookie, 2);
  return b;
}

inline Bytes operator+(Bytes a, Bytes const& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A tunnel datagram: payload, [source], srcCookie, dstCookie, group, port,
// ttl, command. Cookies are given as the two bytes that stand on the wire.
inline Bytes datagram(uint8_t cmd, Bytes const& src, Bytes const& dst,
                      char const* group = "0.0.0.0", unsigned short port = 0, uint8_t ttl = 0,
                      Bytes const& payload = {}, char const* source = nullptr) {
  Bytes d = payload;
  if (source != nullptr) {
    unsigned s = addr(source);
    d.insert(d.end(), reinterpret_cast<uint8_t*>(&s), reinterpret_cast<uint8_t*>(&s) + 4);
  }
  d.insert(d.end(), src.begin(), src.end());
  d.insert(d.end(), dst.begin(), dst.end());
  unsigned g = addr(group);
  d.insert(d.end(), reinterpret_cast<uint8_t*>(&g), reinterpret_cast<uint8_t*>(&g) + 4);
  d.push_back(static_cast<uint8_t>(port >> 8));
  d.push_back(static_cast<uint8_t>(port & 0xFF));
  d.push_back(ttl);
  d.push_back(cmd);
  return d;
}

// Waits until fd is readable, at most ms milliseconds.
inline bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

using testsupport::endpoint;

// A UDP socket bound to address:port, address reuse on.
inline int boundSocket(char const* address, unsigned short port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  sockaddr_in a = endpoint(address, port);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address << ":" << port;
  return fd;
}

// A gateway at the other end: a plain UDP socket (by default on the second
// local address) that talks to this host's tunnel socket.
class PeerSocket {
 public:
  explicit PeerSocket(unsigned short port, char const* address = testsupport::PEER_ADDRESS)
      : fd(boundSocket(address, port)) {}
  ~PeerSocket() { close(fd); }
  PeerSocket(PeerSocket const&) = delete;
  PeerSocket& operator=(PeerSocket const&) = delete;

  void send(Bytes const& d) {
    sockaddr_in a = endpoint(testsupport::OWN_ADDRESS, TUNNEL_PORT);
    ASSERT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
              static_cast<ssize_t>(d.size()));
  }
  // The next datagram, if one comes within ms.
  std::optional<Bytes> receive(int ms = WAIT_MS) {
    if (!readable(fd, ms)) return std::nullopt;
    Bytes d(70000);
    ssize_t n = recv(fd, d.data(), d.size(), 0);
    d.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return d;
  }
  bool quiet() { return !receive(QUIET_MS); }
  void drain() {
    while (receive(QUIET_MS)) {
    }
  }

 private:
  int fd;
};

// A socket joined to a group on vt0 that reports each datagram's TTL.
class GroupListener {
 public:
  GroupListener(char const* group, unsigned short port) : fd(boundSocket(group, port)) {
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    ip_mreq m{};
    m.imr_multiaddr.s_addr = addr(group);
    m.imr_interface.s_addr = addr(testsupport::OWN_ADDRESS);
    EXPECT_EQ(setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0);
  }
  ~GroupListener() { close(fd); }
  GroupListener(GroupListener const&) = delete;
  GroupListener& operator=(GroupListener const&) = delete;

  struct Datagram {
    Bytes data;
    int ttl;
  };
  std::optional<Datagram> receive(int ms = WAIT_MS) {
    if (!readable(fd, ms)) return std::nullopt;
    Datagram d{Bytes(70000), -1};
    iovec io{d.data.data(), d.data.size()};
    char control[64];
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &m, 0);
    d.data.resize(n < 0 ? 0 : static_cast<size_t>(n));
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
        std::memcpy(&d.ttl, CMSG_DATA(c), sizeof d.ttl);
      }
    }
    return d;
  }
  bool quiet() { return !receive(QUIET_MS); }

 private:
  int fd;
};

// Sends one multicast datagram out of vt0 from address (any port), as a
// host on this site's network would.
inline void sendMulticast(Bytes const& payload, char const* group, unsigned short port,
                          char const* from) {
  int fd = boundSocket(from, 0);
  in_addr interface;
  interface.s_addr = addr(testsupport::OWN_ADDRESS);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
  sockaddr_in to = endpoint(group, port);
  EXPECT_EQ(
      sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      static_cast<ssize_t>(payload.size()));
  close(fd);
}

// The fixture: an interpreter and its environment, the clock behind
// TheDelayQueue in the test's hand, and a clean slate afterwards.
class TunnelTest : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NETNS();
    interp = Tcl_CreateInterp();
    env = TclUsageEnvironment::getEnvironFromInterp(interp, "veldra");
    Tcl_Eval(interp, "proc bgerror {message} {append ::backgroundErrors $message \\n}");
    processDelayQueue();
    TheDelayQueue->tick();  // counts from the test clock from here on
  }

  void TearDown() override {
    if (interp == nullptr) return;  // skipped
    UDPtunnel::DebugLevel = 1;
    Socket::DebugLevel = 1;
    UDPtunnel::performCookieCheck = true;
    replyRateLimiter().reset();
    UDPtunnelLookupTable::Iterator tunnels(OurTunnels);
    while (UDPtunnel* tunnel = tunnels.next()) {
      OurTunnels.Remove(tunnel);
      delete tunnel;
    }
    GroupsockLookupTable::Iterator groupsocks(OurGroupsocks);
    while (Groupsock* groupsock = groupsocks.next()) {
      OurGroupsocks.Remove(groupsock);
      delete groupsock;
    }
    // With every tunnel gone, a socket still open is one that never had a
    // tunnel (or fetching the port just opened it).
    for (unsigned short port : socketPorts) {
      bool isNew;
      if (UDPtunnelSocket* sock = OurTunnelSockets.Fetch(*env, Port(port), isNew)) {
        OurTunnelSockets.Remove(sock);
        delete sock;
      }
    }
    Tcl_DeleteInterp(interp);
  }

  // A tunnel to address:port on the local port, entered in OurTunnels.
  UDPtunnel* makeTunnel(unsigned short remotePort, char const* address = testsupport::PEER_ADDRESS,
                        unsigned short localPort = TUNNEL_PORT, bool masterOnly = false) {
    unsigned a = addr(address);
    NetAddress remote(reinterpret_cast<unsigned char const*>(&a), 4);
    auto* tunnel = new UDPtunnel(remote, Port(remotePort), Port(localPort), OurTunnelSockets,
                                 OurGroupsocks, *env, masterOnly ? 1 : 0);
    EXPECT_NE(tunnel->tunnelSocket(), nullptr) << env->getResultMsg();
    OurTunnels.Add(tunnel);
    return tunnel;
  }

  // A tunnel socket without tunnels, as a script opens one; deleted at the
  // end if no tunnel took it away with it.
  UDPtunnelSocket* openSocket(unsigned short port = TUNNEL_PORT) {
    bool isNew;
    UDPtunnelSocket* sock = OurTunnelSockets.Fetch(*env, Port(port), isNew);
    EXPECT_NE(sock, nullptr) << env->getResultMsg();
    socketPorts.push_back(port);
    return sock;
  }

  // Runs the receive path on the next datagram that reaches sock.
  bool deliver(UDPtunnelSocket* sock) {
    EXPECT_TRUE(readable(sock->socketNum(), WAIT_MS)) << "nothing reached the tunnel socket";
    unsigned bytesRead = 0;
    sockaddr_in from{};
    return sock->handleRead(buffer, sizeof buffer, bytesRead, from);
  }

  // Moves the clock by whole seconds, one tick per second.
  void advanceSeconds(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      clock.advance(1000000);
      TheDelayQueue->tick();
    }
  }

  std::string resultMsg() const { return env->getResultMsg(); }

  // The background errors the scripts have been handed so far, one a line.
  std::string backgroundErrors() {
    while (Tcl_DoOneEvent(TCL_IDLE_EVENTS | TCL_DONT_WAIT)) {
    }
    char const* errors = Tcl_GetVar(interp, "backgroundErrors", TCL_GLOBAL_ONLY);
    return errors != nullptr ? errors : "";
  }

  FakeClock clock{EventTime(1000000, 0)};
  Tcl_Interp* interp = nullptr;
  TclUsageEnvironment* env = nullptr;
  std::vector<unsigned short> socketPorts{TUNNEL_PORT};  // swept at the end
  static inline unsigned char buffer[IO_BUFFER_SIZE];
};

}  // namespace tunneltest

#endif
