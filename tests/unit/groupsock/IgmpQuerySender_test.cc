// The IGMP query sender on the veth pair of the test's own network
// namespace: what it sends out of vt1 (10.99.0.2) is captured on vt0.
#include "groupsock/IgmpQuerySender.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iterator>
#include <memory>
#include <vector>

#include "groupsock/IgmpWire.hh"
#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/InterpEnv.hh"

namespace {

uint32_t addr(char const* dotted) { return inet_addr(dotted); }

// A capture of what arrives on vt0: IPv4 datagrams of IP protocol 2.
int captureOnVt0() {
  int const sock = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_IP);
  address.sll_ifindex = static_cast<int>(if_nametoindex("vt0"));
  EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return sock;
}

// The next IGMP datagram arriving on the capture, or an empty one after 5 s.
std::vector<uint8_t> nextArrivingIgmp(int capture) {
  uint8_t buffer[2048];
  pollfd ready{capture, POLLIN, 0};
  while (poll(&ready, 1, 5000) == 1) {
    sockaddr_ll from{};
    socklen_t size = sizeof from;
    ssize_t const n =
        recvfrom(capture, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n > 20 && from.sll_pkttype != PACKET_OUTGOING && buffer[IPV4_PROTOCOL] == 2)
      return std::vector<uint8_t>(buffer, buffer + n);
  }
  return {};
}

// Queries leave from the interface address with TTL 1 and the Router Alert
// option, a general one to 224.0.0.1 and a group-specific one to the group.
TEST(IgmpQuerySender, QueriesLeaveAsAQuerierSendsThem) {
  REQUIRE_NETNS();
  InterpEnv ie;
  int const capture = captureOnVt0();
  unsigned const vt1 = if_nametoindex("vt1");
  std::unique_ptr<IgmpQuerySender> sender(IgmpQuerySender::create(
      ie.env, "vt1", static_cast<int>(vt1), addr(testsupport::PEER_ADDRESS)));
  ASSERT_NE(sender, nullptr) << ie.env.getResultMsg();

  IgmpQuery general;
  IgmpQuery specific;
  specific.version = 3;
  specific.group = addr("239.9.2.1");
  specific.sources = {addr("10.99.0.7")};
  for (IgmpQuery const* query : {&general, &specific}) {
    ASSERT_TRUE(sender->send(*query)) << ie.env.getResultMsg();
    std::vector<uint8_t> datagram = nextArrivingIgmp(capture);
    ASSERT_FALSE(datagram.empty());
    EXPECT_EQ(datagram[IPV4_VERSION_AND_IHL], 0x46);  // 24-byte header
    EXPECT_EQ(std::vector<uint8_t>(datagram.begin() + 20, datagram.begin() + 24),
              std::vector<uint8_t>(std::begin(IPV4_ROUTER_ALERT_OPTION),
                                   std::end(IPV4_ROUTER_ALERT_OPTION)));
    IgmpPacket packet;
    ASSERT_EQ(parseIgmpPacket(datagram.data(), datagram.size(), packet), IgmpParseStatus::OK);
    EXPECT_EQ(packet.ttl, 1);
    EXPECT_EQ(packet.source, addr(testsupport::PEER_ADDRESS));
    EXPECT_EQ(packet.destination, query->group != 0 ? query->group : addr("224.0.0.1"));
    EXPECT_EQ(packet.message.type, IGMP_MEMBERSHIP_QUERY);
    EXPECT_EQ(packet.message.version, query->version);
    EXPECT_EQ(packet.message.sources, query->sources);
  }
  EXPECT_EQ(sender->queriesSent(), 2u);
  close(capture);
}

}  // namespace
