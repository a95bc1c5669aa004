// OutputSocket: the cached time-to-live and the learned source port.
#include "groupsock/OutputSocket.hh"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/GroupsockTestSupport.hh"

using namespace gstest;

namespace {

constexpr char const* GROUP = "239.1.2.3";
constexpr unsigned short PORT = 5004;

int multicastTtl(int sock) {
  int ttl = -1;
  socklen_t size = sizeof ttl;
  getsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &size);
  return ttl;
}

void setMulticastTtl(int sock, int ttl) {
  setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

// Test that the option is set on the first write, even for 0, and then
// only when the time-to-live changes: a value put behind the socket's back
// survives a write with an unchanged time-to-live.
TEST(OutputSocket, SetsTheTimeToLiveOnlyWhenItChanges) {
  REQUIRE_NETNS();
  TestEnv env;
  OutputSocket out(env);
  int const sock = out.socketNum();
  unsigned char data[] = "x";
  EXPECT_EQ(out.lastTTL(), 256u);

  ASSERT_TRUE(out.write(addr(GROUP), Port(PORT), 0, data, 1));
  EXPECT_EQ(multicastTtl(sock), 0);
  ASSERT_TRUE(out.write(addr(GROUP), Port(PORT), 127, data, 1));
  EXPECT_EQ(multicastTtl(sock), 127);

  setMulticastTtl(sock, 3);
  ASSERT_TRUE(out.write(addr(GROUP), Port(PORT), 127, data, 1));
  EXPECT_EQ(multicastTtl(sock), 3);  // not set again
  EXPECT_EQ(out.lastTTL(), 127u);
  ASSERT_TRUE(out.write(addr(GROUP), Port(PORT), 5, data, 1));
  EXPECT_EQ(multicastTtl(sock), 5);
}

// Test that a send that fails after the option was set leaves the cache
// unknown, so that the next write does not go out with the failed one's
// time-to-live.
TEST(OutputSocket, FailedSendForgetsTheTimeToLive) {
  REQUIRE_NETNS();
  TestEnv env;
  OutputSocket out(env);
  unsigned char data[] = "x";
  ASSERT_TRUE(out.write(addr(GROUP), Port(PORT), 5, data, 1));

  EXPECT_FALSE(out.write(addr("192.0.2.1"), Port(PORT), 9, data, 1));  // no route there
  EXPECT_EQ(env.result.rfind("writeSocket(", 0), 0u) << env.result;
  EXPECT_EQ(out.lastTTL(), 256u);

  ASSERT_TRUE(out.write(addr(GROUP), Port(PORT), 5, data, 1));
  EXPECT_EQ(multicastTtl(out.socketNum()), 5);
}

}  // namespace
