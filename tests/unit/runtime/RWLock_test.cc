// The lock defers the alarm signal while held, does not count, and leaves
// other signals' blocking alone.
#include "runtime/RWLock.hh"

#include <gtest/gtest.h>
#include <signal.h>

namespace {

volatile sig_atomic_t alarms = 0;

bool blocked(int sig) {
  sigset_t mask;
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, sig) == 1;
}

TEST(RWLock, DefersTheAlarmUntilTheFirstUnlock) {
  alarms = 0;
  struct sigaction onAlarm = {}, oldAction = {};
  onAlarm.sa_handler = [](int) { ++alarms; };
  sigaction(SIGALRM, &onAlarm, &oldAction);
  sigset_t usr1, oldMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &oldMask);

  RWLock lock;
  {
    ScopedRLock held(lock);
    lock.rwLock();
    raise(SIGALRM);
    EXPECT_EQ(alarms, 0);
    EXPECT_TRUE(lock.isLocked());
    lock.unlock();  // one unlock undoes both locks and delivers the alarm
    EXPECT_EQ(alarms, 1);
    EXPECT_FALSE(lock.isLocked());
  }
  EXPECT_FALSE(blocked(SIGALRM));
  EXPECT_TRUE(blocked(SIGUSR1));

  sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGALRM, &oldAction, nullptr);
}

}  // namespace
