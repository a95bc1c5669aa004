// Time values: seconds and microseconds as signed 32-bit fields.
// A DelayInterval is a duration (never negative after subtraction), an
// EventTime an absolute wall-clock time since the epoch.
#ifndef VELDRA_RUNTIME_TIMEVAL_HH
#define VELDRA_RUNTIME_TIMEVAL_HH

#include <cstdint>

class DelayInterval;

class Timeval {
 public:
  int32_t seconds() const { return secs; }
  int32_t useconds() const { return usecs; }

  // Compares seconds, then microseconds, as signed numbers.
  bool operator>=(const Timeval& arg) const;
  bool operator<(const Timeval& arg) const { return !(*this >= arg); }
  bool operator==(const Timeval& arg) const { return secs == arg.secs && usecs == arg.usecs; }
  bool operator!=(const Timeval& arg) const { return !(*this == arg); }

  // Adds an interval, carrying at most one second (operands are normalised).
  void operator+=(const DelayInterval& arg);
  // Subtracts an interval, borrowing one second; a negative result becomes zero.
  void operator-=(const DelayInterval& arg);

 protected:
  // constexpr so that the constants below are set before any static
  // initialiser of another translation unit can read them.
  constexpr Timeval(int32_t seconds, int32_t useconds) : secs(seconds), usecs(useconds) {}

 private:
  int32_t secs;
  int32_t usecs;
};

class DelayInterval : public Timeval {
 public:
  constexpr DelayInterval(int32_t seconds, int32_t useconds) : Timeval(seconds, useconds) {}
};

class EventTime : public Timeval {
 public:
  constexpr EventTime(int32_t seconds = 0, int32_t useconds = 0) : Timeval(seconds, useconds) {}
};

// a - b, normalised and clamped to ZERO when negative.
DelayInterval operator-(const Timeval& a, const Timeval& b);

// n * d with the microseconds carried into seconds.
DelayInterval operator*(short n, const DelayInterval& d);

extern const DelayInterval ZERO;
extern const DelayInterval SECOND;
extern const DelayInterval MINUTE;
extern const DelayInterval HOUR;
extern const DelayInterval DAY;
extern const DelayInterval ETERNITY;
extern const EventTime THE_END_OF_TIME;

// The current wall-clock time.
EventTime TimeNow();

// t - now, clamped to ZERO.
DelayInterval TimeRemainingUntil(const EventTime& t);

// The clock behind TimeNow(). Tests replace it to drive the delay queue
// through clock jumps without sleeping; nullptr restores the system clock.
using ClockFunction = EventTime (*)();
void setClockForTesting(ClockFunction clock);

#endif
