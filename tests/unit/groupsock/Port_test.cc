// Port: network byte order inside, host order on output.
#include "groupsock/Port.hh"

#include <gtest/gtest.h>

#include "tests/unit/groupsock/InterpEnv.hh"

namespace {

TEST(PortTest, HeldInNetworkOrder) {
  Port port(9000);
  unsigned short stored = port.num();
  unsigned char const* bytes = reinterpret_cast<unsigned char const*>(&stored);
  EXPECT_EQ(bytes[0], 0x23);
  EXPECT_EQ(bytes[1], 0x28);
  EXPECT_EQ(Port(0).num(), 0);
}

TEST(PortTest, WrittenInHostOrder) {
  InterpEnv ie;
  testing::internal::CaptureStderr();
  ie.env << Port(9000) << " " << Port(65535);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "9000 65535");
}

}  // namespace
