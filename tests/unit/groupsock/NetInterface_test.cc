// The member set of a groupsock and the traffic counters.
#include "groupsock/NetInterface.hh"

#include <gtest/gtest.h>

#include <set>

#include "groupsock/NetInterfaceTrafficStats.hh"
#include "tests/unit/groupsock/GroupsockTestSupport.hh"

using namespace gstest;

namespace {

// Test that adding twice keeps one entry, and that a walk may remove the
// member it has just returned and still visits every member once.
TEST(DirectedNetInterfaceSet, WalkToleratesRemovalOfTheMemberReturned) {
  TestEnv env;
  StubMember a(env), b(env), c(env);
  DirectedNetInterfaceSet members;
  for (StubMember* m : {&a, &b, &c, &a}) EXPECT_EQ(members.Add(m), nullptr);
  EXPECT_EQ(members.numMembers(), 3);

  std::set<DirectedNetInterface*> seen;
  DirectedNetInterfaceSet::Iterator iter(members);
  while (DirectedNetInterface* member = iter.next()) {
    seen.insert(member);
    EXPECT_TRUE(members.Remove(member));
  }
  EXPECT_EQ(seen, (std::set<DirectedNetInterface*>{&a, &b, &c}));
  EXPECT_TRUE(members.IsEmpty());
  EXPECT_FALSE(members.Remove(&a));
}

// Test that the counters are single precision: the packet count stops
// growing at 2^24.
TEST(NetInterfaceTrafficStats, PacketCountStopsAtTwoToTheTwentyFourth) {
  NetInterfaceTrafficStats stats;
  for (unsigned i = 0; i < (1u << 24) + 10; ++i) stats.countPacket(0);
  EXPECT_EQ(stats.packetCount(), 16777216.0f);
}

}  // namespace
