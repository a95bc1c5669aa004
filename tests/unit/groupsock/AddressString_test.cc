// AddressString: dotted text from any of the three address forms.
#include "groupsock/AddressString.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(AddressStringTest, DottedTextFromEachForm) {
  struct Case {
    unsigned hostOrder;
    char const* text;
  } const cases[] = {
      {0xC0A80001, "192.168.0.1"},
      {0x00000000, "0.0.0.0"},
      {0x0A630001, "10.99.0.1"},
      {0xE4432B5B, "228.67.43.91"},
      // The longest text, which with its terminator fills the buffer.
      {0xFFFFFFFF, "255.255.255.255"},
  };
  for (Case const& c : cases) {
    sockaddr_in sin{};
    sin.sin_addr.s_addr = htonl(c.hostOrder);
    EXPECT_STREQ(AddressString(htonl(c.hostOrder)).val(), c.text);
    EXPECT_STREQ(AddressString(sin.sin_addr).val(), c.text);
    EXPECT_STREQ(AddressString(sin).val(), c.text);
  }
  EXPECT_EQ(std::strlen(AddressString(0xFFFFFFFFu).val()), 15u);
}

}  // namespace
