// The per-environment record and the NoReuse guard.
#include "groupsock/GroupsockPrivate.hh"

#include <gtest/gtest.h>

#include "runtime/HashTable.hh"
#include "tests/unit/groupsock/InterpEnv.hh"

namespace {

TEST(GroupsockPrivateTest, ReclaimedOnlyInItsInitialState) {
  InterpEnv ie;
  EXPECT_EQ(ie.env.groupsockPriv, nullptr);
  GroupsockPrivate* priv = groupsockPriv(ie.env);
  ASSERT_EQ(ie.env.groupsockPriv, priv);
  EXPECT_EQ(priv->socketsByDescriptor, nullptr);
  EXPECT_EQ(priv->reuseAddresses, 1);
  EXPECT_EQ(groupsockPriv(ie.env), priv);

  priv->reuseAddresses = 0;
  reclaimGroupsockPriv(ie.env);
  EXPECT_EQ(ie.env.groupsockPriv, priv);
  priv->reuseAddresses = 1;
  priv->socketsByDescriptor = new DescriptorTable;
  reclaimGroupsockPriv(ie.env);
  EXPECT_EQ(ie.env.groupsockPriv, priv);

  // The guard restores the flag but leaves a record that holds a table.
  {
    NoReuse guard(ie.env);
    EXPECT_EQ(priv->reuseAddresses, 0);
  }
  ASSERT_EQ(ie.env.groupsockPriv, priv);
  EXPECT_EQ(priv->reuseAddresses, 1);

  delete priv->socketsByDescriptor;
  priv->socketsByDescriptor = nullptr;
  reclaimGroupsockPriv(ie.env);
  EXPECT_EQ(ie.env.groupsockPriv, nullptr);
  reclaimGroupsockPriv(ie.env);  // nothing left to reclaim
}

TEST(GroupsockPrivateTest, NoReuseLeavesNoRecordBehind) {
  InterpEnv ie;
  {
    NoReuse guard(ie.env);
    EXPECT_EQ(groupsockPriv(ie.env)->reuseAddresses, 0);
  }
  EXPECT_EQ(ie.env.groupsockPriv, nullptr);
}

}  // namespace
