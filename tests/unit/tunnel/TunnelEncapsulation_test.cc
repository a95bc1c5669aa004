// Command names as trace lines show them.
#include "tunnel/TunnelEncapsulation.hh"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(CmdName, KnownCodesByNameEveryOtherInHex) {
  std::map<int, std::string> const known = {
      {0x01, "DATA"},         {0x02, "JOIN"},          {0x03, "LEAVE"},      {0x04, "TEAR_DOWN"},
      {0x05, "PROBE"},        {0x06, "PROBE_ACK"},     {0x07, "PROBE_NACK"}, {0x08, "JOIN_RTP"},
      {0x09, "LEAVE_RTP"},    {0x81, "SSM_DATA"},      {0x82, "SSM_JOIN"},   {0x83, "SSM_LEAVE"},
      {0x88, "SSM_JOIN_RTP"}, {0x89, "SSM_LEAVE_RTP"},
  };
  for (int code = 0; code < 256; ++code) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", code);  // lower case, no leading zeros
    auto it = known.find(code);
    EXPECT_EQ(cmdName(static_cast<unsigned char>(code)),
              it != known.end() ? it->second : "(unknown: 0x" + std::string(hex) + ")");
  }
  EXPECT_STREQ(cmdName(0x84), "(unknown: 0x84)");  // TEAR_DOWN has no SSM form
}

TEST(CmdName, UnknownNamesShareOneBuffer) {
  char const* first = cmdName(0x84);
  cmdName(0xfe);
  EXPECT_STREQ(first, "(unknown: 0xfe)");
}

}  // namespace
