// Time arithmetic, and the constants as another translation unit's static
// initialiser sees them.
#include "runtime/Timeval.hh"

#include <gtest/gtest.h>

namespace {

// Runs before the runtime library's own initialisers would, as test objects
// are linked ahead of the library.
DelayInterval const earlyMinute = MINUTE, earlyDay = DAY, earlyEternity = ETERNITY;

TEST(Timeval, ConstantsAreSetBeforeStaticInitialisersReadThem) {
  EXPECT_EQ(earlyMinute, DelayInterval(60, 0));
  EXPECT_EQ(earlyDay, DelayInterval(86400, 0));
  EXPECT_EQ(earlyEternity, DelayInterval(2147483647, 999999));
}

EventTime plus(EventTime t, DelayInterval d) { return t += d, t; }
EventTime minus(EventTime t, DelayInterval d) { return t -= d, t; }

TEST(Timeval, ArithmeticNormalisesAndClamps) {
  struct {
    char const* what;
    Timeval got;
    EventTime expected;
  } const cases[] = {
      {"60 * SECOND", 60 * SECOND, {60, 0}},
      {"3 * 0.5 s", 3 * DelayInterval(0, 500000), {1, 500000}},
      {"1.5 s - 2 s", DelayInterval(1, 500000) - DelayInterval(2, 0), {0, 0}},
      {"2.1 s - 0.5 s", EventTime(2, 100000) - EventTime(0, 500000), {1, 600000}},
      {"1.5 s -= 2 s", minus({1, 500000}, {2, 0}), {0, 0}},
      {"1.6 s += 0.5 s", plus({1, 600000}, {0, 500000}), {2, 100000}},
      {"end of time += DAY saturates", plus(THE_END_OF_TIME, DAY), {2147483647, 999999}},
  };
  for (auto const& c : cases)
    EXPECT_EQ(EventTime(c.got.seconds(), c.got.useconds()), c.expected) << c.what;
  // Seconds first, then microseconds, both signed.
  EXPECT_TRUE(EventTime(1, 0) >= EventTime(0, 999999));
  EXPECT_FALSE(EventTime(0, 5) >= EventTime(0, 6));
  EXPECT_FALSE(EventTime(-1, 0) >= EventTime(0, 0));
}

}  // namespace
