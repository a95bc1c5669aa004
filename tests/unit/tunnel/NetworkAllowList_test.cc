// The allow-list of networks: what parses as a network, and what it holds.
#include "tunnel/NetworkAllowList.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(NetworkAllowListTest, ParsesAddressSlashPrefixAndNothingElse) {
  struct Case {
    char const* text;
    bool ok;
    char const* network;
    char const* mask;
  };
  Case const cases[] = {
      {"10.1.2.3/16", true, "10.1.0.0", "255.255.0.0"},  // host bits dropped
      {"10.1.2.3", true, "10.1.2.3", "255.255.255.255"},
      {"0.0.0.0/0", true, "0.0.0.0", "0.0.0.0"},
      {"192.0.2.7/32", true, "192.0.2.7", "255.255.255.255"},
      {"10.0.0.0/33", false, "", ""},
      {"10.0.0.0/", false, "", ""},
      {"10.0.0.0/-1", false, "", ""},
      {"10.0.0.0/ 8", false, "", ""},
      {"10.0.0.0/0x8", false, "", ""},
      {"10/8", false, "", ""},  // inet_addr would read 0.0.0.10
      {"10.0.0.256/8", false, "", ""},
      {"host.example/8", false, "", ""},
      {"", false, "", ""},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.text);
    unsigned network = 1, mask = 1;
    ASSERT_EQ(NetworkAllowList::parseNetwork(c.text, network, mask), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(network, inet_addr(c.network));
    EXPECT_EQ(mask, inet_addr(c.mask));
  }
}

TEST(NetworkAllowListTest, HoldsTheAddressesOfItsNetworks) {
  NetworkAllowList list;
  EXPECT_FALSE(list.contains(inet_addr("10.1.2.3")));
  unsigned network, mask;
  for (char const* text : {"10.1.0.0/16", "192.0.2.7"}) {
    ASSERT_TRUE(NetworkAllowList::parseNetwork(text, network, mask));
    list.add(network, mask);
  }
  EXPECT_TRUE(list.contains(inet_addr("10.1.255.1")));
  EXPECT_FALSE(list.contains(inet_addr("10.2.0.1")));
  EXPECT_TRUE(list.contains(inet_addr("192.0.2.7")));
  EXPECT_FALSE(list.contains(inet_addr("192.0.2.8")));
  list.clear();
  EXPECT_TRUE(list.empty());
}

}  // namespace
