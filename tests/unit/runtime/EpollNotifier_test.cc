// The notifier's contract with the interpreter library, through the
// library's own calls (the test binary installs the notifier as the
// gateway does): handlers deleted or changed while their event waits in
// the queue, descriptors closed and reused, timers next to a descriptor
// that stays ready, handlers that re-enter the event loop, alerts and
// signals that must end a blocked wait, and descriptors select cannot take.
#include "runtime/EpollNotifier.hh"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A pipe, closed at the end of the test.
struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds) {
      Tcl_DeleteFileHandler(fd);
      if (fd >= 0) close(fd);
    }
  }
  void fill() { ASSERT_EQ(write(fds[1], "x", 1), 1); }
  void drain() {
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
  }
  int in() const { return fds[0]; }
  int fds[2] = {-1, -1};
};

// A handler that records its calls: how many, and the last mask.
struct Calls {
  int count = 0;
  int mask = 0;
  static void record(ClientData self, int mask) {
    auto* calls = static_cast<Calls*>(self);
    ++calls->count;
    calls->mask = mask;
  }
};

// Queues the file events that are ready without serving them (the timer
// flag alone leaves them in the queue), like a loop busy with other work.
void queueFileEventsOnly() { Tcl_DoOneEvent(TCL_TIMER_EVENTS | TCL_DONT_WAIT); }

// Serves every file event that is ready now.
void serveFileEvents() {
  for (int i = 0; i < 10 && Tcl_DoOneEvent(TCL_FILE_EVENTS | TCL_DONT_WAIT); ++i) {
  }
}

TEST(EpollNotifier, IsTheLibrarysNotifier) { EXPECT_TRUE(EpollNotifier::installed()); }

// Test that a handler deleted inside another handler's callback is not
// called, although the event for it was queued in the same wait.
TEST(EpollNotifier, HandlerDeletedByAnotherIsNotCalled) {
  Pipe a, b;
  a.fill();
  b.fill();
  struct Pair {
    int otherFd;
    int calls = 0;
  } forA{b.in()}, forB{a.in()};
  auto deleteOther = [](ClientData self, int) {
    auto* pair = static_cast<Pair*>(self);
    ++pair->calls;
    Tcl_DeleteFileHandler(pair->otherFd);
  };
  Tcl_CreateFileHandler(a.in(), TCL_READABLE, deleteOther, &forA);
  Tcl_CreateFileHandler(b.in(), TCL_READABLE, deleteOther, &forB);
  serveFileEvents();
  EXPECT_TRUE((forA.calls > 0) != (forB.calls > 0)) << forA.calls << " " << forB.calls;
}

// Test that a queued event runs the handler for the conditions it watches
// when it runs, not those it watched when the event was queued.
TEST(EpollNotifier, MaskChangesApplyToQueuedEvents) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  Calls calls;
  Tcl_CreateFileHandler(pair[0], TCL_READABLE | TCL_WRITABLE, Calls::record, &calls);
  serveFileEvents();
  EXPECT_EQ(calls.mask, TCL_WRITABLE);  // writable only, until data comes

  calls = Calls{};
  queueFileEventsOnly();  // queued as writable
  Tcl_CreateFileHandler(pair[0], TCL_READABLE, Calls::record, &calls);
  serveFileEvents();
  EXPECT_EQ(calls.count, 0);

  ASSERT_EQ(write(pair[1], "x", 1), 1);
  serveFileEvents();
  EXPECT_GE(calls.count, 1);
  EXPECT_EQ(calls.mask, TCL_READABLE);

  Tcl_DeleteFileHandler(pair[0]);
  close(pair[0]);
  close(pair[1]);
}

// Test that a descriptor closed and opened again under the same number is
// watched as the new file, whether the old handler was deleted first (then
// an event queued for the old file does not call the new handler) or only
// replaced afterwards (the kernel forgot the number with the old file).
TEST(EpollNotifier, DescriptorClosedAndReused) {
  for (bool deleteFirst : {true, false}) {
    SCOPED_TRACE(deleteFirst ? "handler deleted before the close" : "handler replaced");
    Pipe old;
    int const number = old.in();
    Calls oldCalls, newCalls;
    Tcl_CreateFileHandler(number, TCL_READABLE, Calls::record, &oldCalls);
    if (deleteFirst) {
      old.fill();
      queueFileEventsOnly();
      Tcl_DeleteFileHandler(number);
    }
    close(number);
    old.fds[0] = -1;

    Pipe fresh;
    if (fresh.in() != number) {
      ASSERT_EQ(dup2(fresh.in(), number), number);
      close(fresh.in());
      fresh.fds[0] = number;
    }
    Tcl_CreateFileHandler(number, TCL_READABLE, Calls::record, &newCalls);
    serveFileEvents();
    EXPECT_EQ(oldCalls.count + newCalls.count, 0);

    fresh.fill();
    serveFileEvents();
    EXPECT_GE(newCalls.count, 1);
    EXPECT_EQ(oldCalls.count, 0);
  }
}

// Test that a socket rebound in place (the same number naming a new
// socket, no handler call in between) is watched again once renewed.
TEST(EpollNotifier, RenewedDescriptorIsWatchedAgain) {
  Pipe old, fresh;
  Calls calls;
  Tcl_CreateFileHandler(old.in(), TCL_READABLE, Calls::record, &calls);
  ASSERT_EQ(dup2(fresh.in(), old.in()), old.in());  // the old pipe's read end is gone
  EpollNotifier::renewDescriptor(old.in());
  fresh.fill();
  serveFileEvents();
  EXPECT_GE(calls.count, 1);
}

// Test that a timer fires on time although a descriptor is ready all the
// while (its handler never reads): ready descriptors cannot starve timers.
TEST(EpollNotifier, TimerFiresOnTimeWhileADescriptorStaysReady) {
  Pipe busy;
  busy.fill();
  Calls busyCalls;
  Tcl_CreateFileHandler(busy.in(), TCL_READABLE, Calls::record, &busyCalls);
  bool fired = false;
  // Taken before the timer is made: its 100 ms count from its creation.
  auto const start = Clock::now();
  Tcl_CreateTimerHandler(
      100, [](ClientData flag) { *static_cast<bool*>(flag) = true; }, &fired);
  while (!fired && Clock::now() - start < std::chrono::seconds(5)) Tcl_DoOneEvent(TCL_ALL_EVENTS);
  auto const ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(fired);
  EXPECT_GE(ms, 100);
  EXPECT_LE(ms, 600);  // a generous bound for a shared machine
  EXPECT_GT(busyCalls.count, 10);
}

// Test that a handler may re-enter the event loop (update): a descriptor
// it makes ready has its handler run inside it, and nothing runs twice.
TEST(EpollNotifier, HandlerMayReenterTheLoop) {
  Tcl_Interp* interp = Tcl_CreateInterp();
  Pipe a, b;
  a.fill();
  struct State {
    Tcl_Interp* interp;
    Pipe* a;
    Pipe* b;
    int aCalls = 0, bCalls = 0, bInsideA = 0;
    bool insideA = false;
  } state{interp, &a, &b};
  Tcl_CreateFileHandler(
      a.in(), TCL_READABLE,
      [](ClientData data, int) {
        auto* s = static_cast<State*>(data);
        ++s->aCalls;
        s->a->drain();
        s->b->fill();
        s->insideA = true;
        EXPECT_EQ(Tcl_Eval(s->interp, "update"), TCL_OK);
        s->insideA = false;
      },
      &state);
  Tcl_CreateFileHandler(
      b.in(), TCL_READABLE,
      [](ClientData data, int) {
        auto* s = static_cast<State*>(data);
        ++s->bCalls;
        s->bInsideA += s->insideA;
        s->b->drain();
      },
      &state);
  serveFileEvents();
  EXPECT_EQ(state.aCalls, 1);
  EXPECT_EQ(state.bCalls, 1);
  EXPECT_EQ(state.bInsideA, 1);
  Tcl_DeleteInterp(interp);
}

// Test that a wait blocked with nothing ready ends promptly when an
// asynchronous handler is marked, from another thread (the alert) or from
// a signal handler on this thread (the alert and an interrupted wait), and
// that the handler then runs.
TEST(EpollNotifier, AsyncMarkEndsABlockedWait) {
  static Tcl_AsyncHandler async;
  static bool ran;
  async = Tcl_AsyncCreate(
      [](ClientData, Tcl_Interp*, int code) {
        ran = true;
        return code;
      },
      nullptr);
  struct sigaction action {};
  action.sa_handler = [](int) { Tcl_AsyncMark(async); };
  action.sa_flags = SA_RESTART;  // epoll waits are interrupted all the same
  ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

  Tcl_TimerToken far = Tcl_CreateTimerHandler(
      10000, [](ClientData) {}, nullptr);
  pthread_t const waiter = pthread_self();
  for (bool bySignal : {false, true}) {
    SCOPED_TRACE(bySignal ? "signal" : "another thread");
    ran = false;
    std::thread marker([bySignal, waiter] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (bySignal) {
        pthread_kill(waiter, SIGUSR1);
      } else {
        Tcl_AsyncMark(async);
      }
    });
    auto const start = Clock::now();
    while (!ran && Clock::now() - start < std::chrono::seconds(5)) Tcl_DoOneEvent(TCL_ALL_EVENTS);
    marker.join();
    EXPECT_TRUE(ran);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
  Tcl_DeleteTimerHandler(far);
  signal(SIGUSR1, SIG_DFL);
  Tcl_AsyncDelete(async);
}

// Test the descriptors a select-based loop could not take: a number above
// 1024, and a regular file (always ready, as select has it).
TEST(EpollNotifier, HighNumbersAndRegularFiles) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 1501) GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
  if (limit.rlim_cur < 1501) {
    limit.rlim_cur = 1501;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  Pipe pipe;
  ASSERT_EQ(dup2(pipe.in(), 1500), 1500);
  close(pipe.in());
  pipe.fds[0] = 1500;
  Calls high;
  Tcl_CreateFileHandler(1500, TCL_READABLE, Calls::record, &high);
  serveFileEvents();
  EXPECT_EQ(high.count, 0);
  pipe.fill();
  serveFileEvents();
  EXPECT_GE(high.count, 1);

  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  Calls regular;
  Tcl_CreateFileHandler(fileno(file), TCL_READABLE, Calls::record, &regular);
  serveFileEvents();
  EXPECT_GE(regular.count, 1);
  EXPECT_EQ(regular.mask, TCL_READABLE);
  Tcl_DeleteFileHandler(fileno(file));
  fclose(file);
}

}  // namespace
