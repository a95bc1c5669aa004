// Own-address discovery, the random source-specific group and the clock
// text. Discovery runs inside the test's own network namespace, whose own
// address is 10.99.0.1, and with a host name of the test's choosing.
#include "groupsock/OurIPAddress.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "groupsock/OurRandom.hh"
#include "groupsock/SocketHelpers.hh"
#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/InterpEnv.hh"

namespace {

unsigned addr(char const* dotted) { return inet_addr(dotted); }

// Gives this process a host name of its own, in a private UTS namespace so
// that the machine's name is never touched.
bool setHostName(char const* name) {
  static bool const privateNames = unshare(CLONE_NEWUTS) == 0;
  return privateNames && sethostname(name, std::strlen(name)) == 0;
}

// Takes the namespace's multicast route away while it lives, so that the
// test datagram cannot go out and discovery falls back on the host name.
class NoMulticastRoute {
 public:
  NoMulticastRoute() : removed(std::system("ip route del 224.0.0.0/4 dev vt0") == 0) {}
  ~NoMulticastRoute() {
    if (removed && std::system("ip route add 224.0.0.0/4 dev vt0") != 0) std::abort();
  }
  bool const removed;
};

class OurIPAddressTest : public testing::Test {
 protected:
  void SetUp() override { forgetOurIPAddress(); }
  void TearDown() override {
    ReceivingInterfaceAddr = 0;
    forgetOurIPAddress();
    loopbackWorks = true;
  }

  InterpEnv ie;
  UsageEnvironment& env = ie.env;
};

TEST_F(OurIPAddressTest, ReceivingInterfaceAddressIsTheAnswerWithoutAnyTest) {
  for (bool before : {false, true}) {
    loopbackWorks = before;
    ReceivingInterfaceAddr = addr("10.0.0.5");
    EXPECT_EQ(ourIPAddress(env), addr("10.0.0.5"));
    EXPECT_EQ(loopbackWorks, before);
    ReceivingInterfaceAddr = addr("10.0.0.6");  // overrides what was cached
    EXPECT_EQ(ourIPAddress(env), addr("10.0.0.6"));
  }
  // It stays cached once the setting is gone.
  ReceivingInterfaceAddr = 0;
  EXPECT_EQ(ourIPAddress(env), addr("10.0.0.6"));
}

TEST_F(OurIPAddressTest, LoopedBackDatagramTellsTheAddress) {
  REQUIRE_NETNS();
  // A host name that would give no usable address: it must not be consulted.
  ASSERT_TRUE(setHostName("127.0.0.1"));
  loopbackWorks = false;
  EXPECT_EQ(ourIPAddress(env), addr(testsupport::OWN_ADDRESS));
  EXPECT_TRUE(loopbackWorks);
  EXPECT_EQ(ourIPAddress(env), addr(testsupport::OWN_ADDRESS));  // cached
}

TEST_F(OurIPAddressTest, HostNameFallbackTakesOnlyUsableAddresses) {
  REQUIRE_NETNS();
  NoMulticastRoute noRoute;
  ASSERT_TRUE(noRoute.removed);
  struct Case {
    char const* hostName;
    char const* answer;
    char const* message;  // when the answer is 0
  } const cases[] = {
      {"10.99.0.2", "10.99.0.2", nullptr},
      {"127.0.0.2", "127.0.0.2", nullptr},  // only 127.0.0.1 itself is refused
      {"127.0.0.1", "0.0.0.0", "This computer has an invalid IP address: 127.0.0.1"},
      {"0.0.0.0", "0.0.0.0", "This computer has an invalid IP address: 0.0.0.0"},
      {"255.255.255.255", "0.0.0.0", "This computer has an invalid IP address: 255.255.255.255"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.hostName);
    forgetOurIPAddress();
    loopbackWorks = true;
    ASSERT_TRUE(setHostName(c.hostName));
    EXPECT_EQ(ourIPAddress(env), addr(c.answer));
    EXPECT_FALSE(loopbackWorks);
    if (c.message != nullptr) {
      EXPECT_STREQ(env.getResultMsg(), c.message);
    }
  }

  // No answer is not cached: the next call discovers again.
  ASSERT_TRUE(setHostName("10.99.0.2"));
  EXPECT_EQ(ourIPAddress(env), addr("10.99.0.2"));
  ASSERT_TRUE(setHostName("127.0.0.2"));
  EXPECT_EQ(ourIPAddress(env), addr("10.99.0.2"));
}

TEST_F(OurIPAddressTest, RandomSourceSpecificGroupStaysInRange) {
  ReceivingInterfaceAddr = addr("10.0.0.5");  // no discovery needed
  for (int i = 0; i < 10000; ++i) {
    unsigned group = ntohl(chooseRandomIPv4SSMAddress(env));
    ASSERT_GE(group, 0xE8000100u);  // 232.0.1.0
    ASSERT_LE(group, 0xE8FFFFFEu);  // 232.255.255.254
  }

  // The extremes, drawn from a linear congruential table whose seeds make
  // the next value 0, 16776958 and 16776959.
  struct Case {
    unsigned seed;
    char const* group;
  } const cases[] = {
      {2088216195, "232.0.1.0"},
      {1243114169, "232.255.255.254"},
      {953308702, "232.0.1.0"},
  };
  alignas(uint32_t) static char table[8];
  for (Case const& c : cases) {
    char* previous = our_initstate(c.seed, table, sizeof table);
    EXPECT_EQ(chooseRandomIPv4SSMAddress(env), addr(c.group)) << c.seed;
    our_setstate(previous);
  }
}

TEST_F(OurIPAddressTest, TimestampIsTheLocalClockTime) {
  auto clockText = [] {
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", &local);
    return std::string(text);
  };
  std::string before = clockText();
  std::string stamp = timestampString();
  std::string after = clockText();
  ASSERT_EQ(stamp.size(), 8u);
  for (size_t i : {0, 1, 3, 4, 6, 7}) EXPECT_TRUE(std::isdigit(stamp[i])) << stamp;
  EXPECT_EQ(stamp[2], ':');
  EXPECT_EQ(stamp[5], ':');
  EXPECT_TRUE(stamp == before || stamp == after) << stamp << " not " << before;
}

}  // namespace
