// The private network namespace that socket tests run in: it must really be
// private, and laid out as the socket tests expect.
#include "tests/support/Netns.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

ino_t namespaceOf(char const* path) {
  struct stat st {};
  return stat(path, &st) == 0 ? st.st_ino : 0;
}

bool haveAddress(char const* dotted) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    found = found || std::strcmp(text, dotted) == 0;
  }
  freeifaddrs(list);
  return found;
}

int boundUdpSocket(unsigned short port) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval timeout{2, 0};  // bounded wait: the datagram is local
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return s;
}

TEST(NetnsTest, IsNotTheHostsNamespace) {
  ino_t const before = namespaceOf("/proc/self/ns/net");
  REQUIRE_NETNS();
  if (std::getenv("VELDRA_NETNS") == nullptr) {
    // The test process has just left the namespace it started in.
    EXPECT_NE(namespaceOf("/proc/self/ns/net"), before);
  }
  EXPECT_TRUE(testsupport::namespaceIsPrivate());
}

TEST(NetnsTest, HasTheTestAddressesAndNoOther) {
  REQUIRE_NETNS();
  EXPECT_TRUE(haveAddress("127.0.0.1"));
  EXPECT_TRUE(haveAddress(testsupport::OWN_ADDRESS));
  EXPECT_TRUE(haveAddress(testsupport::PEER_ADDRESS));
}

TEST(NetnsTest, MulticastSentWithLoopbackReachesAJoinedSocket) {
  REQUIRE_NETNS();
  int receiver = boundUdpSocket(5004);
  ip_mreq request{};
  request.imr_multiaddr.s_addr = inet_addr("239.1.2.3");
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request), 0);

  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(5004);
  group.sin_addr.s_addr = inet_addr("239.1.2.3");
  ASSERT_EQ(sendto(sender, "ping", 4, 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 4);

  char buffer[16];
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  ASSERT_EQ(
      recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength),
      4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  // Multicast leaves by the route through vt0, so its source is our own address.
  EXPECT_STREQ(inet_ntoa(from.sin_addr), testsupport::OWN_ADDRESS);
  close(sender);
  close(receiver);
}

}  // namespace
