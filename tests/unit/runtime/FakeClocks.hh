// Clocks the runtime tests move by hand, so that timers fire exactly when a
// test says and never because real time passed.
#ifndef VELDRA_TESTS_UNIT_RUNTIME_FAKECLOCKS_HH
#define VELDRA_TESTS_UNIT_RUNTIME_FAKECLOCKS_HH

#include <tcl.h>

#include "runtime/Timeval.hh"

// Replaces TimeNow()'s clock while alive and counts its reads.
struct FakeClock {
  explicit FakeClock(EventTime start) {
    now = start;
    setClockForTesting([] { return ++reads, now; });
  }
  ~FakeClock() { setClockForTesting(nullptr); }
  void advance(long long usecs) {  // may be negative
    long long t = now.seconds() * 1000000LL + now.useconds() + usecs;
    now = EventTime(static_cast<int32_t>(t / 1000000), static_cast<int32_t>(t % 1000000));
  }
  static inline EventTime now;
  static inline int reads = 0;
};

// Freezes the interpreter's clock (its timers) while alive.
struct FakeTclTime {
  FakeTclTime() {
    Tcl_QueryTimeProc(&oldGet, &oldScale, &oldData);
    Tcl_GetTime(&now);
    Tcl_SetTimeProc([](Tcl_Time* t, ClientData self) { *t = static_cast<FakeTclTime*>(self)->now; },
                    [](Tcl_Time*, ClientData) {}, this);
  }
  ~FakeTclTime() { Tcl_SetTimeProc(oldGet, oldScale, oldData); }
  void advanceMs(long ms) {
    now.usec += ms % 1000 * 1000;
    now.sec += ms / 1000 + now.usec / 1000000;
    now.usec %= 1000000;
  }
  Tcl_Time now;
  Tcl_GetTimeProc* oldGet;
  Tcl_ScaleTimeProc* oldScale;
  ClientData oldData;
};

// Dispatches the timer events already due, without waiting; returns how many.
inline int runDueTimers() {
  int n = 0;
  while (Tcl_DoOneEvent(TCL_TIMER_EVENTS | TCL_DONT_WAIT)) ++n;
  return n;
}

#endif
