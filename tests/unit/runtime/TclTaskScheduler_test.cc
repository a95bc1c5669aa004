// The scheduler on the interpreter's event loop: timer arithmetic,
// cancelling, socket handling switched off and on, and the stop flag.
#include "runtime/TclTaskScheduler.hh"

#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "tests/unit/runtime/FakeClocks.hh"

namespace {

void count(void* calls) { ++*static_cast<char*>(calls); }

TEST(TclTaskScheduler, DelayIsTruncatedToWholeMilliseconds) {
  struct {
    long long usecs;
    long ms;
  } const cases[] = {{-5, 0}, {999, 0}, {1999, 1}, {2000000, 2000}};
  TclTaskScheduler scheduler;
  for (auto const& c : cases) {
    SCOPED_TRACE(c.usecs);
    FakeTclTime tclTime;
    char calls = 0;
    scheduler.scheduleDelayedTask(c.usecs, count, &calls);
    if (c.ms > 0) {
      tclTime.advanceMs(c.ms - 1);
      runDueTimers();
      EXPECT_EQ(calls, 0);
      tclTime.advanceMs(1);
    }
    runDueTimers();
    EXPECT_EQ(calls, 1);
  }
}

TEST(TclTaskScheduler, RescheduleCancelsTheOldTask) {
  TclTaskScheduler scheduler;
  char first = 0, second = 0, third = 0;
  TaskToken token = scheduler.scheduleDelayedTask(0, count, &first);
  scheduler.rescheduleDelayedTask(token, 0, count, &second);
  scheduler.rescheduleDelayedTask(token, 0, count, &third);  // token names second's
  runDueTimers();
  EXPECT_EQ(first + second, 0);
  EXPECT_EQ(third, 1);
  scheduler.unscheduleDelayedTask(token);  // fired already: ignored
  EXPECT_EQ(token, nullptr);
}

void record(void* lastMask, int mask) { *static_cast<int*>(lastMask) = mask; }

TEST(TclTaskScheduler, BackgroundHandlingTurnsOffAndOnAgain) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);  // readable until the end: nobody reads
  TclTaskScheduler scheduler;
  for (auto [conditions, handler, expected] :
       {std::tuple{TaskScheduler::READABLE, &record, TaskScheduler::READABLE},
        {0, nullptr, 0},
        {TaskScheduler::READABLE, &record, TaskScheduler::READABLE}}) {
    int lastMask = 0;
    scheduler.setBackgroundHandling(fds[0], conditions, handler, &lastMask);
    for (int i = 0; i < 3; ++i) Tcl_DoOneEvent(TCL_FILE_EVENTS | TCL_DONT_WAIT);
    EXPECT_EQ(lastMask, expected) << conditions;
  }
  scheduler.setBackgroundHandling(fds[0], 0, nullptr, nullptr);
  close(fds[0]);
  close(fds[1]);
}

TEST(TclTaskScheduler, EventLoopStopsOnItsFlag) {
  TclTaskScheduler scheduler;
  char stop = 1;
  TaskToken pending = scheduler.scheduleDelayedTask(0, count, &stop);
  scheduler.doEventLoop(&stop);  // already set: returns without dispatching
  EXPECT_EQ(stop, 1);
  scheduler.unscheduleDelayedTask(pending);

  stop = 0;
  scheduler.scheduleDelayedTask(0, count, &stop);
  scheduler.doEventLoop(&stop);
  EXPECT_EQ(stop, 1);
}

}  // namespace
