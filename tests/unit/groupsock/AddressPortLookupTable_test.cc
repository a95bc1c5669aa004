// AddressPortLookupTable: keys of two addresses and a port.
#include "groupsock/AddressPortLookupTable.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <set>

#include "groupsock/NetAddress.hh"

namespace {

unsigned const GROUP = inet_addr("239.1.2.3");
unsigned const SOURCE = inet_addr("10.99.0.2");

TEST(AddressPortLookupTableTest, KeysDifferingInOneFieldAreDistinct) {
  AddressPortLookupTable<int> table;
  int base, otherPort, otherSource, otherGroup;
  EXPECT_EQ(table.Add({GROUP, NO_SOURCE_FILTER, Port(5004)}, &base), nullptr);
  EXPECT_EQ(table.Add({GROUP, NO_SOURCE_FILTER, Port(5006)}, &otherPort), nullptr);
  EXPECT_EQ(table.Add({GROUP, SOURCE, Port(5004)}, &otherSource), nullptr);
  EXPECT_EQ(table.Add({inet_addr("239.1.2.4"), NO_SOURCE_FILTER, Port(5004)}, &otherGroup),
            nullptr);

  EXPECT_EQ(table.Lookup(GROUP, NO_SOURCE_FILTER, Port(5004)), &base);
  EXPECT_EQ(table.Lookup(GROUP, NO_SOURCE_FILTER, Port(5006)), &otherPort);
  EXPECT_EQ(table.Lookup(GROUP, SOURCE, Port(5004)), &otherSource);
  EXPECT_EQ(table.Lookup(inet_addr("239.1.2.4"), NO_SOURCE_FILTER, Port(5004)), &otherGroup);
}

TEST(AddressPortLookupTableTest, AddReturnsTheReplacedValueAndRemoveTellsWhetherItRemoved) {
  AddressPortLookupTable<int> table;
  int first, second;
  EXPECT_EQ(table.Add({GROUP, SOURCE, Port(5004)}, &first), nullptr);
  EXPECT_EQ(table.Add({GROUP, SOURCE, Port(5004)}, &second), &first);
  EXPECT_EQ(table.Lookup(GROUP, SOURCE, Port(5004)), &second);

  EXPECT_FALSE(table.Remove(GROUP, SOURCE, Port(5005)));
  EXPECT_EQ(table.Lookup(GROUP, SOURCE, Port(5004)), &second);
  EXPECT_TRUE(table.Remove(GROUP, SOURCE, Port(5004)));
  EXPECT_FALSE(table.Remove(GROUP, SOURCE, Port(5004)));
  EXPECT_EQ(table.Lookup(GROUP, SOURCE, Port(5004)), nullptr);
}

TEST(AddressPortLookupTableTest, IteratorVisitsEveryValueAndToleratesRemovingTheCurrentOne) {
  AddressPortLookupTable<int> table;
  int values[5];
  for (unsigned short i = 0; i < 5; ++i)
    table.Add({GROUP, NO_SOURCE_FILTER, Port(6000 + i)}, &values[i]);

  std::set<void*> seen;
  AddressPortLookupTable<int>::Iterator iter(table);
  while (int* value = iter.next()) {
    seen.insert(value);
    auto port = static_cast<unsigned short>(6000 + (value - values));
    EXPECT_TRUE(table.Remove(GROUP, NO_SOURCE_FILTER, Port(port)));
  }
  EXPECT_EQ(seen.size(), 5u);
  AddressPortLookupTable<int>::Iterator empty(table);
  EXPECT_EQ(empty.next(), nullptr);
}

}  // namespace
