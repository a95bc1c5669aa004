// Time values, their arithmetic, the time constants and the clock.
#include "runtime/Timeval.hh"

#include <sys/time.h>

#include <cstdint>

namespace {

constexpr int64_t USECS_PER_SECOND = 1000000;
constexpr int32_t SECONDS_PER_MINUTE = 60;
constexpr int32_t SECONDS_PER_HOUR = 60 * SECONDS_PER_MINUTE;
constexpr int32_t SECONDS_PER_DAY = 24 * SECONDS_PER_HOUR;
constexpr int32_t LAST_SECOND = INT32_MAX;

// The clock behind TimeNow(); nullptr means the system clock.
ClockFunction testClock = nullptr;

// A duration from 64-bit parts already normalised: zero when negative,
// ETERNITY when beyond the largest interval, so no field ever overflows.
DelayInterval clampedInterval(int64_t secs, int64_t usecs) {
  if (secs < 0) return DelayInterval(0, 0);
  if (secs > LAST_SECOND) return DelayInterval(LAST_SECOND, USECS_PER_SECOND - 1);
  return DelayInterval(static_cast<int32_t>(secs), static_cast<int32_t>(usecs));
}

}  // namespace

// The time constants. Their constructors are constexpr, so all of them are
// constant-initialised when the program is loaded, before any dynamic
// initialiser of any translation unit runs; none is computed from another
// at run time. MINUTE, HOUR and DAY are multiples of SECOND.
const DelayInterval ZERO(0, 0);
const DelayInterval SECOND(1, 0);
const DelayInterval MINUTE(SECONDS_PER_MINUTE, 0);
const DelayInterval HOUR(SECONDS_PER_HOUR, 0);
const DelayInterval DAY(SECONDS_PER_DAY, 0);
const DelayInterval ETERNITY(LAST_SECOND, USECS_PER_SECOND - 1);
const EventTime THE_END_OF_TIME(LAST_SECOND, 0);

// Signed comparison of seconds, then microseconds.
bool Timeval::operator>=(const Timeval& arg) const {
  if (secs != arg.secs) return secs > arg.secs;
  return usecs >= arg.usecs;
}

// Adds arg with one carry of the microseconds. A sum beyond the last
// representable second saturates instead of wrapping.
void Timeval::operator+=(const DelayInterval& arg) {
  int64_t s = int64_t{secs} + arg.secs;
  int64_t u = int64_t{usecs} + arg.usecs;
  if (u >= USECS_PER_SECOND) {
    u -= USECS_PER_SECOND;
    ++s;
  }
  if (s > LAST_SECOND) {
    s = LAST_SECOND;
    u = USECS_PER_SECOND - 1;
  }
  secs = static_cast<int32_t>(s);
  usecs = static_cast<int32_t>(u);
}

// Subtracts arg with one borrow; a negative result becomes zero.
void Timeval::operator-=(const DelayInterval& arg) {
  int64_t s = int64_t{secs} - arg.secs;
  int64_t u = int64_t{usecs} - arg.usecs;
  if (u < 0) {
    u += USECS_PER_SECOND;
    --s;
  }
  if (s < 0) s = u = 0;
  secs = static_cast<int32_t>(s);
  usecs = static_cast<int32_t>(u);
}

// a - b as a duration, zero when b is later than a.
DelayInterval operator-(const Timeval& a, const Timeval& b) {
  int64_t s = int64_t{a.seconds()} - b.seconds();
  int64_t u = int64_t{a.useconds()} - b.useconds();
  if (u < 0) {
    u += USECS_PER_SECOND;
    --s;
  }
  return clampedInterval(s, u);
}

// n * d: the whole seconds of n * (microseconds of d), truncated toward
// zero, are carried into the seconds. Computed in 64 bits; the result is
// narrowed to the 32-bit fields.
DelayInterval operator*(short n, const DelayInterval& d) {
  int64_t u = int64_t{n} * d.useconds();
  int64_t carry = u / USECS_PER_SECOND;
  int64_t s = int64_t{n} * d.seconds() + carry;
  return DelayInterval(static_cast<int32_t>(s), static_cast<int32_t>(u - carry * USECS_PER_SECOND));
}

// The current wall-clock time, from the test clock when one is installed.
EventTime TimeNow() {
  if (testClock != nullptr) return testClock();
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return EventTime(static_cast<int32_t>(tv.tv_sec), static_cast<int32_t>(tv.tv_usec));
}

// How long until t, zero when t has passed.
DelayInterval TimeRemainingUntil(const EventTime& t) { return t - TimeNow(); }

// Replaces the clock behind TimeNow(); nullptr restores the system clock.
void setClockForTesting(ClockFunction clock) { testClock = clock; }
