// NetAddress, NetAddressList, our_inet_addr and IsMulticastAddress.
#include "groupsock/NetAddress.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/Netns.hh"

namespace {

// The bytes of an address as dotted text, the first byte first.
std::string bytesOf(NetAddress const* address) {
  if (address == nullptr) return "(none)";
  std::string text;
  for (unsigned i = 0; i < address->length(); ++i) {
    text += (i > 0 ? "." : "") + std::to_string(address->data()[i]);
  }
  return text;
}

TEST(NetAddressTest, CopiesAreDeep) {
  unsigned char const bytes[] = {10, 1, 2, 3};
  NetAddress original(bytes, 4), copy(original), assigned(7);
  assigned = original;
  assigned = assigned;
  EXPECT_NE(copy.data(), original.data());
  EXPECT_EQ(bytesOf(&copy), "10.1.2.3");
  EXPECT_EQ(bytesOf(&assigned), "10.1.2.3");
  NetAddress zeros(4);
  EXPECT_EQ(bytesOf(&zeros), "0.0.0.0");

  NetAddressList list("10.1.2.3"), listCopy(list), listAssigned("10.9.9.9");
  listAssigned = list;
  EXPECT_NE(listCopy.firstAddress(), list.firstAddress());
  EXPECT_EQ(bytesOf(listAssigned.firstAddress()), "10.1.2.3");
}

TEST(NetAddressTest, DottedTextGivesOneAddressWithoutLookup) {
  NetAddressList list("10.1.2.3");
  ASSERT_EQ(list.numAddresses(), 1u);
  EXPECT_EQ(bytesOf(list.firstAddress()), "10.1.2.3");
  NetAddressList::Iterator iter(list);
  EXPECT_EQ(iter.nextAddress(), list.firstAddress());
  EXPECT_EQ(iter.nextAddress(), nullptr);
  EXPECT_EQ(iter.nextAddress(), nullptr);
}

// The resolver is asked, so this runs where it cannot reach any network.
TEST(NetAddressTest, AllOnesGoesToTheResolverAndUnknownNamesGiveAnEmptyList) {
  REQUIRE_NETNS();
  // The dotted parser reports failure as all ones, yet the text is an
  // address: the list must not come back empty.
  NetAddressList allOnes("255.255.255.255");
  ASSERT_GE(allOnes.numAddresses(), 1u);
  NetAddressList::Iterator iter(allOnes);
  while (NetAddress const* address = iter.nextAddress()) {
    EXPECT_EQ(bytesOf(address), "255.255.255.255");
  }
  NetAddressList unknown("no-such-host.invalid");
  EXPECT_EQ(unknown.numAddresses(), 0u);
  EXPECT_EQ(unknown.firstAddress(), nullptr);
}

TEST(NetAddressTest, OurInetAddr) {
  EXPECT_EQ(our_inet_addr("10.1.2.3"), htonl(0x0A010203));
  EXPECT_EQ(our_inet_addr("not an address"), NO_SOURCE_FILTER);
  EXPECT_EQ(our_inet_addr(""), NO_SOURCE_FILTER);
  EXPECT_EQ(our_inet_addr(nullptr), NO_SOURCE_FILTER);
}

TEST(NetAddressTest, MulticastRangeBoundaries) {
  for (char const* group : {"224.0.1.0", "228.67.43.91", "232.1.2.3", "239.255.255.255"}) {
    EXPECT_TRUE(IsMulticastAddress(inet_addr(group))) << group;
  }
  for (char const* other : {"223.255.255.255", "224.0.0.0", "224.0.0.5", "224.0.0.255", "240.0.0.0",
                            "255.255.255.255", "10.99.0.1"}) {
    EXPECT_FALSE(IsMulticastAddress(inet_addr(other))) << other;
  }
}

}  // namespace
