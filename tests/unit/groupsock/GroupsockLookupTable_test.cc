// The groupsock table: finding or creating, the descriptor index in the
// environment's private record, and removal while walking.
#include "groupsock/GroupsockLookupTable.hh"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockPrivate.hh"
#include "groupsock/NetAddress.hh"
#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/GroupsockTestSupport.hh"

using namespace gstest;

namespace {

constexpr char const* GROUP = "239.1.2.3";
constexpr char const* GROUP2 = "239.1.2.4";
constexpr unsigned short PORT = 5004;

class GroupsockLookupTableTest : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_NETNS(); }

  TestEnv env;
  GroupsockLookupTable table;
};

// Test that Fetch returns the existing groupsock whatever time-to-live is
// asked for, and keeps any-source and source-specific groups apart.
TEST_F(GroupsockLookupTableTest, FetchFindsTheExistingGroupsockWhateverTheTtl) {
  bool isNew = false;
  Groupsock* any = table.Fetch(env, addr(GROUP), NO_SOURCE_FILTER, Port(PORT), 16, isNew);
  ASSERT_NE(any, nullptr);
  EXPECT_TRUE(isNew);
  EXPECT_EQ(table.Fetch(env, addr(GROUP), NO_SOURCE_FILTER, Port(PORT), 99, isNew), any);
  EXPECT_FALSE(isNew);
  EXPECT_EQ(any->ttl(), 16);

  Groupsock* ssm = table.Fetch(env, addr(GROUP), addr("10.99.0.2"), Port(PORT), 0, isNew);
  EXPECT_TRUE(isNew);
  EXPECT_NE(ssm, any);
  EXPECT_EQ(ssm->ttl(), 255);
  EXPECT_EQ(table.Lookup(env, any->socketNum()), any);
  EXPECT_EQ(table.Lookup(env, ssm->socketNum()), ssm);
  EXPECT_EQ(table.Lookup(env, -1), nullptr);

  for (Groupsock* groupsock : {any, ssm}) {
    EXPECT_TRUE(table.Remove(groupsock));
    groupsock->deleteWhenSafe();
  }
  EXPECT_EQ(env.groupsockPriv, nullptr);
}

// Test the descriptor clash: a groupsock whose descriptor is already
// registered is refused (and deleted, closing the descriptor), and the
// other's entry stays. Removing the last groupsock deletes the descriptor
// table and the environment's private record.
TEST_F(GroupsockLookupTableTest, DescriptorEntryStaysWithItsOwner) {
  bool isNew = false;
  Groupsock* first = table.Fetch(env, addr(GROUP), NO_SOURCE_FILTER, Port(PORT), 16, isNew);
  ASSERT_NE(first, nullptr);
  int const sock = first->socketNum();
  ASSERT_GE(sock, 0);
  close(sock);  // behind its back: the next socket gets the same number

  EXPECT_EQ(table.Fetch(env, addr(GROUP2), NO_SOURCE_FILTER, Port(PORT), 16, isNew), nullptr);
  EXPECT_FALSE(isNew);
  EXPECT_EQ(env.result, "Attempting to replace an existing socket (" + std::to_string(sock));
  EXPECT_EQ(table.Lookup(addr(GROUP2), Port(PORT)), nullptr);
  EXPECT_EQ(table.Lookup(env, sock), first);

  ASSERT_NE(env.groupsockPriv, nullptr);
  EXPECT_TRUE(table.Remove(first));
  EXPECT_EQ(table.Lookup(addr(GROUP), Port(PORT)), nullptr);
  EXPECT_EQ(table.Lookup(env, sock), nullptr);
  EXPECT_EQ(env.groupsockPriv, nullptr);
  first->reset();
  delete first;
}

// Test that a groupsock whose socket could not be set up is refused, with
// the reason as the result, and leaves nothing registered.
TEST_F(GroupsockLookupTableTest, FailedSetUpIsRefused) {
  int const blocker = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = endpoint("0.0.0.0", PORT);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  {
    NoReuse noReuse(env);
    bool isNew = false;
    EXPECT_EQ(table.Fetch(env, addr(GROUP), NO_SOURCE_FILTER, Port(PORT), 16, isNew), nullptr);
    EXPECT_EQ(env.result.rfind("bind() error (port number: 5004): ", 0), 0u) << env.result;
    EXPECT_EQ(table.Lookup(addr(GROUP), Port(PORT)), nullptr);
  }
  close(blocker);
  EXPECT_EQ(env.groupsockPriv, nullptr);
}

}  // namespace
